#include "WidgetImage.h"

#include <QLayout>

QImage renderWidget(QWidget *widget, qreal devicePixelRatio, QWidget::RenderFlags flags)
{
    widget->ensurePolished();
    if (!widget->testAttribute(Qt::WA_Resized))
        widget->adjustSize();
    if (QLayout *layout = widget->layout())
        layout->activate();
    QImage image(widget->size() * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    widget->render(&image, {}, {}, flags);
    return image;
}
