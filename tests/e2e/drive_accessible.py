#!/usr/bin/python3
"""Walks one import through the accessibility bus alone, as a screen reader user would: reads
the scan screen, presses the first conversation by its default action, reads the done screen.
Prints what it checked; exits 1 with the reason on the first thing missing."""
import sys
import time

import pyatspi

APP = "vellora-imessage-importer"


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def wait_for(what, find, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
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
    names = [r.name for r in rows]
    print("rows:", names, flush=True)
    if len(names) != 2 or not all(" messages" in n for n in names):
        fail("rows are named with name and subtitle: %r" % names)
    action = rows[0].queryAction()
    if action.nActions < 1:
        fail("the row has no default action")
    action.doAction(0)

    screen(app, "All set")
    print("OK", flush=True)


main()
