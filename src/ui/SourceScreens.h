#pragma once

#include "Backup.h"

#include <QWidget>

class BrandText;
class ConversationList;
class QLineEdit;
class QStandardItemModel;

// Where the messages come from, on systems without the Mac's database: one card per iPhone
// backup found (a lock at its end when it is encrypted), and a way to point at another folder.
class SourceScreen : public QWidget {
    Q_OBJECT

public:
    explicit SourceScreen(QWidget *parent = nullptr);

    void setBackups(const QList<BackupInfo> &backups);
    // "iOS 17.5 · backed up 3 Dec 2026"
    static QString subtitle(const BackupInfo &backup);
    ConversationList *list() const { return m_list; }

signals:
    void backupChosen(const QString &folder);
    void chooseFolderClicked();

private:
    QList<BackupInfo> m_backups;
    QStandardItemModel *m_model;
    ConversationList *m_list;
    BrandText *m_none;
};

// The password of an encrypted backup: the field, why the last try failed, and while the keys
// are derived a spinner with "Unlocking…". Both buttons stop an unlocking under way.
class PasswordScreen : public QWidget {
    Q_OBJECT

public:
    explicit PasswordScreen(QWidget *parent = nullptr);

    // Waiting for the password; `failure` says why the last one did not open the backup.
    void showLocked(const QString &failure);
    void showUnlocking();
    bool isUnlocking() const { return m_unlocking; }
    QLineEdit *field() const { return m_field; }

signals:
    void unlockClicked(const QString &password);
    void cancelClicked();
    void chooseAnotherClicked();

protected:
    // The password stays in the field only while the screen shows.
    void hideEvent(QHideEvent *event) override;

private:
    QLineEdit *m_field;
    BrandText *m_failure;
    QWidget *m_progress;
    bool m_unlocking = false;
};
