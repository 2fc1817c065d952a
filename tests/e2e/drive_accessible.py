#!/usr/bin/python3
"""Walks one import through the accessibility bus alone, as a screen reader user would: reads
the scan screen, presses the conversation named on the command line by its default action,
reads the done screen. Prints what it checked; exits 1 with the reason on the first thing
missing."""
import sys
import time

import pyatspi
from gi.repository import GLib

APP = "vellora-imessage-importer"


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def wait_for(what, find, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        while GLib.MainContext.default().iteration(False):  # deliver the events listened for
            pass
        try:
            found = find()
        except Exception:  # the tree changes under us while screens switch
            found = None
        if found:
            return found
        time.sleep(0.2)
    fail("timed out waiting for " + what)


def application():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == APP:
            return app
    return None


def nodes(root):
    yield root
    for child in root:
        if child is not None:
            yield from nodes(child)


def showing(app, role=None):
    return [n for n in nodes(app)
            if n.getState().contains(pyatspi.STATE_SHOWING) and (role is None or n.getRole() == role)]


def headings(app):
    return [n.name for n in showing(app, pyatspi.ROLE_HEADING)]


def screen(app, heading):
    """Waits until `heading` is the one heading shown: only the shown screen is exposed."""
    wait_for("the heading " + repr(heading), lambda: headings(app) == [heading])
    print("heading:", heading, flush=True)


def main():
    app = wait_for("the importer on the accessibility bus", application)
    shown_screens = []  # what a screen reader hears of a screen change
    pyatspi.Registry.registerEventListener(
        lambda event: event.detail1 and shown_screens.append(event.source), "object:state-changed:showing")

    screen(app, "Scan this with Vellora")
    texts = [n.name for n in showing(app, pyatspi.ROLE_LABEL)]
    if not any(t.startswith("When you're ready, pick iMessage") for t in texts):
        fail("the scan screen's text is not readable: %r" % texts)
    images = showing(app, pyatspi.ROLE_IMAGE)
    if [i.name for i in images] != ["QR code"]:  # the logo is not announced
        fail("images shown: %r among %r" % ([i.name for i in images],
                                            [(n.getRoleName(), n.name) for n in showing(app)]))
    if "Vellora app" not in images[0].description:
        fail("the QR code's description: %r" % images[0].description)
    print("image:", images[0].name, "-", images[0].description, flush=True)

    rows = wait_for("the conversations", lambda: showing(app, pyatspi.ROLE_LIST_ITEM))
    screen(app, "Who's it about?")
    print("rows:", [r.name for r in rows], flush=True)
    chosen = [r for r in rows if r.name.startswith(sys.argv[1] + ", ") and " messages" in r.name]
    if len(chosen) != 1:
        fail("no row named with %r and its subtitle among %r" % (sys.argv[1], [r.name for r in rows]))
    action = chosen[0].queryAction()
    if action.nActions < 1:
        fail("the row has no default action")
    del shown_screens[:]
    action.doAction(0)

    screen(app, "All set")
    if not any("All set" in [n.name for n in nodes(s) if n.getRole() == pyatspi.ROLE_HEADING] for s in shown_screens):
        fail("the done screen came without an event: %r" % [(s.getRoleName(), s.name) for s in shown_screens])
    print("announced: the done screen shown", flush=True)
    print("OK", flush=True)


main()
