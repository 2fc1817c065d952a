#pragma once

#include <QHBoxLayout>
#include <QWidget>

// `child` as wide as the row allows up to its maximum width, centred. A vertical layout
// would left-align it, and ask a wrapping child its height at the row's full width.
inline QHBoxLayout *centred(QWidget *child, int maximumWidth)
{
    child->setMaximumWidth(maximumWidth);
    auto *row = new QHBoxLayout;
    row->setContentsMargins({});
    row->setSpacing(0);
    row->addStretch();
    row->addWidget(child, 1);
    row->addStretch();
    return row;
}
