#pragma once

#include <QImage>

class QWidget;

// The widget painted into an image at a device pixel ratio, for tests and screenshots.
// Lays the widget out first, so it works on widgets that were never shown.
QImage renderWidget(QWidget *widget, qreal devicePixelRatio = 1.0);
