#include "TestEnv.h"

#include "ChatDatabase.h"
#include "FixtureDb.h"
#include "Transcript.h"

#include <QCoreApplication>
#include <QDir>
#include <QThreadPool>
#include <QtGlobal>

namespace {
std::optional<QByteArray> getEnv(const char *name)
{
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qgetenv(name);
}

void restoreEnv(const char *name, const std::optional<QByteArray> &value)
{
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}
} // namespace

ScopedHome::ScopedHome()
    : m_oldHome(getEnv("HOME")), m_oldTmp(getEnv("TMPDIR"))
{
    QDir().mkpath(home() + QStringLiteral("/Library/Messages"));
    QDir().mkpath(tmp());
    qputenv("HOME", home().toUtf8());
    qputenv("TMPDIR", tmp().toUtf8());
}

ScopedHome::~ScopedHome()
{
    restoreEnv("HOME", m_oldHome);
    restoreEnv("TMPDIR", m_oldTmp);
}

QStringList ScopedHome::snapshotDirs() const
{
    return QDir(tmp()).entryList({QStringLiteral("vellora-imessage-*")},
                                 QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
}

void writeTwoPartners(const QString &path)
{
    FixtureDb db(path);
    const qint64 sms = db.addChat({db.addHandle(mumHandle, QStringLiteral("SMS"))}, QStringLiteral("SMS"));
    const qint64 im = db.addChat({db.addHandle(mumHandle)});
    const qint64 friendChat = db.addChat({db.addHandle(QStringLiteral("friend@example.com"))});
    db.addMessage(sms, 700000000LL * 1000000000LL, false, QStringLiteral("Are we still on for lunch?"));
    db.addMessage(im, 700000300LL * 1000000000LL, true, QStringLiteral("Yes!\nSee you at 1"));
    db.addMessage(sms, 700000600LL * 1000000000LL, false, std::nullopt,
                  FixtureDb::archiveBody(QStringLiteral("Caf\u00e9 \U0001F600 \u2014 \u05E9\u05DC\u05D5\u05DD")));
    db.addMessage(friendChat, 690000000, false, QStringLiteral("hello"));
}

QByteArray transcriptOf(const QString &path, const QString &handle)
{
    return transcriptOf(ChatDatabase(path), handle);
}

QByteArray transcriptOf(const ChatDatabase &snapshot, const QString &handle)
{
    for (const Conversation &conversation : snapshot.loadConversations([](const QString &) { return std::nullopt; }))
        if (conversation.handle == handle)
            return Transcript::build(snapshot.loadMessages(conversation), conversation.displayName).toUtf8();
    return {};
}

void finishCancelledTasks()
{
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
}
