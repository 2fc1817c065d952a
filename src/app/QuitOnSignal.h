#pragma once

// Turns SIGINT, SIGTERM and SIGHUP into an orderly quit of the event loop, so that a snapshot
// of the Messages database being read at that moment is still removed before the process
// ends. Call once, after the application object exists.
void quitOnTerminationSignals();
