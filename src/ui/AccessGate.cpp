#include "AccessGate.h"

#include "Brand.h"
#include "Centred.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {

QLabel *label(const QString &text, const QFont &font, const QColor &color)
{
    auto *result = new QLabel(text);
    result->setTextFormat(Qt::PlainText);
    result->setFont(font);
    QPalette palette = result->palette();
    palette.setColor(QPalette::WindowText, color);
    result->setPalette(palette);
    return result;
}

// One numbered instruction: the number centred in a 16-wide box, the text wrapping beside it.
QWidget *accessStep(int number, const QString &text)
{
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins({});
    layout->setSpacing(9);
    QLabel *digits = label(QString::number(number), Brand::font(12, QFont::Bold), Brand::twilight400());
    digits->setFixedWidth(16);
    digits->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    QLabel *words = label(text, Brand::font(13), Brand::ink300());
    words->setWordWrap(true);
    words->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(digits, 0, Qt::AlignTop);
    layout->addWidget(words, 1, Qt::AlignTop);
    return row;
}

} // namespace

AccessGate::AccessGate(QWidget *parent) : QWidget(parent)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins({});
    column->setSpacing(14);
    column->addWidget(new BrandHeader(tr("One quick unlock")));
    column->addWidget(new BrandSubtitle(tr("macOS keeps your Messages locked up tight \u2014 for good reason.")));
    column->addSpacing(2);
    column->addWidget(new GradientText(
        tr("Give Vellora Full Disk Access \u2014 we'll restart and continue the moment you do."), 16,
        QFont::DemiBold));

    auto *steps = new QWidget;
    steps->setObjectName(QStringLiteral("accessSteps"));
    auto *stepRows = new QVBoxLayout(steps);
    stepRows->setContentsMargins({});
    stepRows->setSpacing(7);
    stepRows->addWidget(accessStep(1, tr("Open System Settings \u2192 Privacy & Security \u2192 Full Disk Access")));
    stepRows->addWidget(accessStep(2, tr("Turn on Vellora iMessage Importer (click + to add it if it's not listed)")));
    stepRows->addWidget(accessStep(3, tr("Switch back here \u2014 we restart automatically to pick it up and carry on")));
    column->addSpacing(2);
    column->addLayout(centred(steps, 380));

    column->addWidget(new BrandNote(tr("Nothing leaves your Mac until you say so.")));

    auto *open = new BrandButton(tr("Open System Settings"));
    auto *done = new SecondaryButton(tr("I've done it"));
    addButtonPair(column, open, done);

    connect(open, &QAbstractButton::clicked, this, &AccessGate::openSettingsClicked);
    connect(done, &QAbstractButton::clicked, this, &AccessGate::doneClicked);
}
