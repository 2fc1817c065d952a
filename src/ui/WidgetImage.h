#pragma once

#include <QImage>
#include <QWidget>

// The widget painted into an image at a device pixel ratio, for tests and screenshots.
// Lays the widget out first, so it works on widgets that were never shown. Without the
// window background, what the widget leaves unpainted stays transparent.
QImage renderWidget(QWidget *widget, qreal devicePixelRatio = 1.0,
                    QWidget::RenderFlags flags = QWidget::DrawWindowBackground | QWidget::DrawChildren);
