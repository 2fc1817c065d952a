#pragma once

// macOS: every window of the application, title bar and system-drawn controls included, in
// the dark appearance whatever the system setting. Call after the application object exists.
void requestDarkAppearance();
