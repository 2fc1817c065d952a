#pragma once

// What a screen reader hears (AT-SPI on Linux, VoiceOver on macOS): headers as headings, texts
// as static text, the logo left out, the QR code as an image, the spinner as a busy indicator
// and the conversations as list items pressed by their default action. Install it before the
// first widget is made: a widget keeps the interface it was first given.
namespace Accessibility {
void install();
}
