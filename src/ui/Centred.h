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

// Two buttons side by side, 12 apart, centred below a little more space than the column's.
inline void addButtonPair(QBoxLayout *column, QWidget *first, QWidget *second)
{
    auto *buttons = new QWidget;
    auto *row = new QHBoxLayout(buttons);
    row->setContentsMargins({});
    row->setSpacing(12);
    row->addWidget(first, 0, Qt::AlignVCenter);
    row->addWidget(second, 0, Qt::AlignVCenter);
    column->addSpacing(4);
    column->addWidget(buttons, 0, Qt::AlignHCenter);
}
