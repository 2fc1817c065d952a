#include "SourceScreens.h"

#include "Brand.h"
#include "Centred.h"
#include "Picker.h"
#include "Transcript.h"

#include <QHBoxLayout>
#include <QHideEvent>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QVBoxLayout>

namespace {

// Rows shown before the list scrolls.
constexpr int visibleRows = 4;

QVBoxLayout *column(QWidget *screen)
{
    auto *layout = new QVBoxLayout(screen);
    layout->setContentsMargins({});
    layout->setSpacing(14);
    return layout;
}

} // namespace

SourceScreen::SourceScreen(QWidget *parent)
    : QWidget(parent), m_model(new QStandardItemModel(this)), m_list(new ConversationList),
      m_none(new BrandText(tr("No iPhone backups found on this computer yet."), 13))
{
    QVBoxLayout *layout = column(this);
    layout->addWidget(new BrandHeader(tr("Where are your messages?")));
    layout->addWidget(new BrandSubtitle(
        tr("Pick an iPhone backup made on this computer. Nothing leaves it until you choose one conversation.")));

    m_list->setObjectName(QStringLiteral("backups"));
    m_list->setAccessibleName(tr("iPhone backups"));
    m_list->setModel(m_model);
    layout->addLayout(centred(m_list, 460));
    m_none->setObjectName(QStringLiteral("noBackups"));
    m_none->setColor(Brand::ink300());
    layout->addWidget(m_none);

    auto *choose = new SecondaryButton(tr("Choose a backup folder\u2026"));
    layout->addSpacing(4);
    layout->addWidget(choose, 0, Qt::AlignHCenter);
    layout->addWidget(
        new BrandNote(tr("Make a backup with Finder or the Apple Devices app, or on Linux with idevicebackup2.")));

    connect(m_list, &ConversationList::rowActivated, this, [this](int row) {
        if (row >= 0 && row < m_backups.size())
            emit backupChosen(m_backups[row].folder);
    });
    connect(choose, &QAbstractButton::clicked, this, &SourceScreen::chooseFolderClicked);
    setBackups({});
}

QString SourceScreen::subtitle(const BackupInfo &backup)
{
    QStringList parts;
    if (!backup.iosVersion.isEmpty())
        parts << tr("iOS %1").arg(backup.iosVersion);
    if (backup.date)
        parts << tr("backed up %1").arg(DateFmt::dayMonthYearFormatter().string(*backup.date));
    return parts.join(QStringLiteral(" \u00B7 "));
}

void SourceScreen::setBackups(const QList<BackupInfo> &backups)
{
    m_backups = backups;
    m_model->clear();
    for (const BackupInfo &backup : backups) {
        auto *item = new QStandardItem(backup.deviceName);
        item->setData(subtitle(backup), ConversationListModel::subtitleRole);
        const QString locked = backup.encrypted ? tr(", encrypted") : QString();
        item->setData(tr("%1, %2").arg(backup.deviceName, subtitle(backup)) + locked, Qt::AccessibleTextRole);
        if (backup.encrypted)
            item->setData(QVariant::fromValue(Symbol::lockFill), ConversationListModel::symbolRole);
        m_model->appendRow(item);
    }
    // As tall as its cards, up to a few; the items carry the gap below each card.
    const int shown = int(std::min<qsizetype>(backups.size(), visibleRows));
    const int pitch = static_cast<const ConversationRow *>(m_list->itemDelegate())->rowHeight() + ConversationRow::gap;
    m_list->setFixedHeight(shown > 0 ? shown * pitch - ConversationRow::gap + 4 : 0);
    m_list->setHidden(backups.isEmpty());
    m_none->setHidden(!backups.isEmpty());
}

PasswordScreen::PasswordScreen(QWidget *parent)
    : QWidget(parent), m_field(new QLineEdit), m_failure(new BrandText({}, 13)), m_progress(new QWidget)
{
    QVBoxLayout *layout = column(this);
    auto *lock = new SymbolView(Symbol::lockFill, 36);
    lock->setObjectName(QStringLiteral("icon"));
    layout->addWidget(lock, 0, Qt::AlignHCenter);
    layout->addWidget(new BrandHeader(tr("This backup is locked")));
    layout->addWidget(new BrandSubtitle(
        tr("Enter the password you chose for encrypted backups on your iPhone. It never leaves this computer.")));

    auto *box = new FieldCard;
    auto *boxRow = new QHBoxLayout(box);
    boxRow->setContentsMargins(14, 10, 14, 10);
    m_field->setObjectName(QStringLiteral("password"));
    Brand::styleField(m_field);
    m_field->setEchoMode(QLineEdit::Password);
    m_field->setAccessibleName(tr("Backup password"));
    boxRow->addWidget(m_field);
    layout->addSpacing(4);
    layout->addLayout(centred(box, 320));

    m_failure->setObjectName(QStringLiteral("failure"));
    m_failure->setColor(Brand::alert());
    layout->addWidget(m_failure);
    auto *progressRow = new QHBoxLayout(m_progress);
    progressRow->setContentsMargins({});
    progressRow->setSpacing(8);
    progressRow->addStretch();
    progressRow->addWidget(new Spinner, 0, Qt::AlignVCenter);
    auto *unlocking = new BrandText(tr("Unlocking\u2026"), 13);
    unlocking->setColor(Brand::ink300());
    progressRow->addWidget(unlocking, 0, Qt::AlignVCenter);
    progressRow->addStretch();
    layout->addWidget(m_progress);

    auto *unlock = new BrandButton(tr("Unlock"));
    auto *another = new SecondaryButton(tr("Choose another backup"));
    addButtonPair(layout, unlock, another);

    const auto submit = [this] {
        if (m_unlocking)
            emit cancelClicked();
        else if (!m_field->text().isEmpty())
            emit unlockClicked(m_field->text());
    };
    connect(unlock, &QAbstractButton::clicked, this, submit);
    connect(m_field, &QLineEdit::returnPressed, this, submit);
    connect(another, &QAbstractButton::clicked, this, &PasswordScreen::chooseAnotherClicked);
    showLocked({});
}

void PasswordScreen::showLocked(const QString &failure)
{
    m_unlocking = false;
    m_field->setReadOnly(false);
    m_failure->setText(failure);
    m_failure->setHidden(failure.isEmpty());
    m_progress->hide();
    if (isVisible())
        m_field->setFocus();
}

void PasswordScreen::showUnlocking()
{
    m_unlocking = true;
    m_field->setReadOnly(true);
    m_failure->hide();
    m_progress->show();
}

void PasswordScreen::hideEvent(QHideEvent *event)
{
    // A window minimised keeps it; leaving the screen does not.
    if (!event->spontaneous())
        m_field->clear();
    QWidget::hideEvent(event);
}
