#include "PairingClient.h"

#include "AppInfo.h"
#include "Backup.h"
#include "BundleInfo.h"
#include "ChatDatabase.h"
#include "ContactResolver.h"
#include "HelperError.h"
#include "Platform.h"
#include "QrCode.h"
#include "Transcript.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QMetaObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QUuid>
#include <QtConcurrent>

#include <openssl/crypto.h>

namespace {

// The failure message rule: the error's own description, else the platform's text.
QString describe(const std::exception &error)
{
    if (const auto *helper = dynamic_cast<const HelperError *>(&error))
        return helper->errorDescription();
    return QString::fromUtf8(error.what());
}

// Work that reads the database runs on a worker thread; exceptions don't cross QFuture,
// so the outcome carries the failure's text.
template <typename T> struct Outcome {
    std::optional<T> value;
    QString error;
};

template <typename T, typename F> Outcome<T> capture(F &&work)
{
    try {
        return {work(), {}};
    } catch (const std::exception &e) {
        return {std::nullopt, describe(e)};
    }
}

using SnapshotMaker = std::function<std::unique_ptr<ChatDatabase>()>;

Outcome<QList<Conversation>> listConversations(const SnapshotMaker &makeSnapshot, const ContactResolver &names)
{
    return capture<QList<Conversation>>([&] {
        const auto snapshot = makeSnapshot();
        return snapshot->loadConversations([&](const QString &handle) { return names.name(handle); });
    });
}

QByteArray compactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The whole upload body: a long history makes tens of megabytes of JSON, so it is built here
// rather than on the main thread.
Outcome<QByteArray> buildUploadBody(const SnapshotMaker &makeSnapshot, const Conversation &conversation,
                                    const QString &sessionId, const QString &macKey)
{
    return capture<QByteArray>([&] {
        const QList<ChatMessage> messages = makeSnapshot()->loadMessages(conversation);
        return compactJson({
            {QStringLiteral("session_id"), sessionId},
            {QStringLiteral("mac_key"), macKey},
            {QStringLiteral("transcript"), Transcript::build(messages, conversation.displayName)},
            {QStringLiteral("file_name"), QStringLiteral("chat.txt")},
        });
    });
}

QJsonValue isoOrNull(const std::optional<RefDate> &date)
{
    return date ? QJsonValue(DateFmt::isoFormatter().string(*date)) : QJsonValue(QJsonValue::Null);
}

} // namespace

QString PairingClient::Step::toString() const
{
    static const char *const names[] = {"starting", "needsAccess",    "scan",   "pick",   "finishing", "uploading",
                                        "done",     "updateRequired", "failed", "locked", "unlocking"};
    const QString name = QString::fromLatin1(names[int(m_kind)]);
    return m_text.isEmpty() ? name : name + QLatin1Char('(') + m_text + QLatin1Char(')');
}

PairingClient::PairingClient(QObject *parent)
    : QObject(parent), m_run(std::make_shared<Token>()), m_contactSource(makePlatformContactSource()),
      m_launcher(makePlatformLauncher()),
      m_quit([] { QCoreApplication::quit(); })
{
}

PairingClient::~PairingClient()
{
    // Waiting tasks resume here (aborted replies finish at once) or later (timers, workers);
    // either way they find their token cancelled and end without touching this object.
    m_run->cancel();
    if (m_pollTask)
        m_pollTask->cancel();
    if (m_unlockCancelled)
        *m_unlockCancelled = true;
}

void PairingClient::setLauncher(std::unique_ptr<AppLauncher> launcher)
{
    m_launcher = std::move(launcher);
}

bool PairingClient::isPolling() const
{
    return m_pollTask && !m_pollTask->cancelled();
}

void PairingClient::setStep(const Step &step)
{
    if (m_step == step)
        return;
    m_step = step;
    emit stepChanged();
}

void PairingClient::cancelPolling()
{
    if (m_pollTask)
        m_pollTask->cancel();
}

void PairingClient::stopRun()
{
    cancelPolling();
    // Everything the previous run still waits for ends without writing state.
    m_run->cancel();
    m_run = std::make_shared<Token>();
}

void PairingClient::begin()
{
    stopRun();

    m_uploading = false;
    m_chosenConvo.reset();
    if (!m_conversations.isEmpty()) {
        m_conversations.clear();
        emit conversationsChanged();
    }
    if (!m_qrImage.isNull()) {
        m_qrImage = QImage();
        emit qrImageChanged();
    }

    if (m_backup && m_backup->isLocked()) {
        setStep(Step::locked());
    } else if (m_backup || ChatDatabase::canAccess(databasePath())) {
        setStep(Step::starting());
        startSession(m_run);
    } else {
        setStep(Step::needsAccess());
    }
}

void PairingClient::openDatabase(const QString &path)
{
    resetSource();
    m_databasePath = path;
    begin();
}

void PairingClient::openBackup(const QString &folder)
{
    resetSource();
    try {
        m_backup = std::make_shared<Backup>(folder);
    } catch (const BackupError &e) {
        stopRun();
        fail(e.errorDescription());
        return;
    }
    Backup::rememberFolder(folder);
    begin();
}

void PairingClient::unlock(QString password)
{
    QByteArray utf8 = password.toUtf8();
    password.fill(QChar(0));
    if (!m_backup || !m_backup->isLocked() || m_step.kind() != Step::Kind::locked) {
        utf8.fill(0);
        return;
    }
    setStep(Step::unlocking());
    unlockBackup(std::move(utf8), m_run);
}

QCoro::Task<> PairingClient::unlockBackup(QByteArray password, TokenPtr run)
{
    const QPointer<PairingClient> self(this);
    m_unlockCancelled = std::make_shared<std::atomic_bool>(false);
    // The worker unlocks a backup object of its own, so a cancelled try still deriving keys
    // never shares one with the next; the flag outlives a window closed meanwhile.
    struct Unlocked {
        std::shared_ptr<Backup> backup;  // null when the try failed
        QString failure;                 // empty when it was cancelled
    };
    QFuture<Unlocked> work = QtConcurrent::run(
        [folder = m_backup->info().folder, cancelled = m_unlockCancelled, password = std::move(password)]() mutable {
            try {
                auto backup = std::make_shared<Backup>(folder);
                backup->unlock(password, *cancelled);
                return Unlocked{std::move(backup), {}};
            } catch (const BackupError &e) {
                OPENSSL_cleanse(password.data(), size_t(password.size()));
                return Unlocked{nullptr, e.kind() == BackupError::Kind::cancelled ? QString() : e.errorDescription()};
            }
        });
    const std::shared_ptr<std::atomic_bool> cancelled = m_unlockCancelled;
    const Unlocked unlocked = co_await work;
    if (!self || run->cancelled() || *cancelled)
        co_return;
    if (!unlocked.backup) {
        setStep(Step::locked(unlocked.failure));
        co_return;
    }
    m_backup = unlocked.backup;
    begin();
}

void PairingClient::cancelUnlock()
{
    if (m_unlockCancelled)
        *m_unlockCancelled = true;
    if (m_step.kind() == Step::Kind::unlocking)
        setStep(Step::locked());
}

void PairingClient::chooseAnotherSource()
{
    resetSource();
    begin();
}

void PairingClient::resetSource()
{
    if (m_unlockCancelled)
        *m_unlockCancelled = true;
    m_backup.reset();
    m_databasePath.clear();
}

QString PairingClient::databasePath() const
{
    return m_databasePath.isEmpty() ? ChatDatabase::standardSourcePath() : m_databasePath;
}

std::function<std::unique_ptr<ChatDatabase>()> PairingClient::snapshotMaker() const
{
    if (m_backup) {
        return [backup = std::shared_ptr<const Backup>(m_backup)] {
            return std::make_unique<ChatDatabase>([&backup](const QString &target) { backup->writeMessages(target); });
        };
    }
    return [path = databasePath()] {
        return std::make_unique<ChatDatabase>(path);
    };
}

QCoro::Task<> PairingClient::startSession(TokenPtr run)
{
    const QPointer<PairingClient> self(this);

    // Named, not a temporary inside co_await: GCC 12 destroys such temporaries twice.
    const std::shared_ptr<ContactSource> contacts =
        m_backup ? std::make_shared<BackupContactSource>(m_backup) : m_contactSource;
    const ContactResolver names = co_await ContactResolver::loadFrom(contacts);
    if (!self || run->cancelled())
        co_return;

    QFuture<Outcome<QList<Conversation>>> listing = QtConcurrent::run(listConversations, snapshotMaker(), names);
    const Outcome<QList<Conversation>> listed = co_await listing;
    if (!self || run->cancelled())
        co_return;
    if (!listed.value) {
        // A backup whose messages can't be read is let go, so "Try again" starts from the sources.
        if (m_backup)
            resetSource();
        fail(listed.error);
        co_return;
    }
    m_conversations = *listed.value;
    emit conversationsChanged();

    m_sessionId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_macKey = randomKey();
    const QByteArray body = compactJson({
        {QStringLiteral("session_id"), m_sessionId},
        {QStringLiteral("mac_key_hash"), sha256(m_macKey)},
        {QStringLiteral("client_version"), AppInfo::version()},
    });

    const PairingTransport::Reply reply = co_await m_transport.post(QStringLiteral("vellora-pair-create"), body, run);
    if (reply.isCancelled())
        co_return;
    if (reply.isFailed()) {
        fail(reply.failure);
        co_return;
    }
    const QJsonObject &answer = reply.answer;

    if (answer.value(QStringLiteral("status")) == QJsonValue(QStringLiteral("update_required"))) {
        const QJsonValue url = answer.value(QStringLiteral("download_url"));
        setStep(Step::updateRequired(url.isString() ? url.toString() : downloadPage));
        co_return;
    }

    m_qrImage = makeQR(m_sessionId);
    emit qrImageChanged();
    setStep(Step::scan());
    startPolling();
}

void PairingClient::startPolling()
{
    cancelPolling();
    m_pollTask = std::make_shared<Token>();
    pollLoop(m_pollTask);
}

QCoro::Task<> PairingClient::pollLoop(TokenPtr poll)
{
    const QPointer<PairingClient> self(this);
    const std::chrono::milliseconds interval = m_pollInterval;
    const PollClock clock = m_pollClock;
    while (!poll->cancelled() && self) {
        co_await pollOnce(poll);
        if (poll->cancelled() || !self)
            co_return;
        co_await poll->sleep(interval, clock);
    }
}

QCoro::Task<> PairingClient::pollOnce(TokenPtr poll)
{
    if (m_sessionId.isEmpty())
        co_return;

    const QByteArray body = compactJson({
        {QStringLiteral("session_id"), m_sessionId},
        {QStringLiteral("mac_key"), m_macKey},
    });
    const PairingTransport::Reply reply = co_await m_transport.post(QStringLiteral("vellora-pair-poll"), body, poll);
    if (reply.isCancelled())
        co_return;
    if (reply.isFailed()) {
        fail(reply.failure);
        poll->cancel();
        co_return;
    }
    const QJsonObject &answer = reply.answer;

    const QJsonValue statusValue = answer.value(QStringLiteral("status"));
    const QString status = statusValue.isString() ? statusValue.toString() : QStringLiteral("pending");
    if (status == QLatin1String("aborted")) {
        fail(interruptedMessage());
        poll->cancel();
        co_return;
    }
    if (status == QLatin1String("claimed") && m_step == Step::scan())
        setStep(Step::pick());

    const QJsonValue uploadId = answer.value(QStringLiteral("upload_id"));
    if (uploadId.isString() && !uploadId.toString().isEmpty() && m_chosenConvo && !m_uploading)
        co_await upload(poll);
}

void PairingClient::choose(const Conversation &conversation)
{
    m_chosenConvo = conversation;
    setStep(Step::finishing());
    reportChoice(conversation, m_run);
}

QCoro::Task<> PairingClient::reportChoice(Conversation conversation, TokenPtr run)
{
    const QByteArray body = compactJson({
        {QStringLiteral("session_id"), m_sessionId},
        {QStringLiteral("mac_key"), m_macKey},
        {QStringLiteral("name"), conversation.displayName},
        {QStringLiteral("handle"), conversation.handle},
        {QStringLiteral("count"), conversation.messageCount},
        {QStringLiteral("first"), isoOrNull(conversation.firstMessageDate)},
        {QStringLiteral("last"), isoOrNull(conversation.lastMessageDate)},
    });
    const PairingTransport::Reply reply = co_await m_transport.post(QStringLiteral("vellora-pair-choose"), body, run);
    // A late answer must not take back a transcript already delivered.
    if (reply.isFailed() && m_step != Step::done())
        fail(reply.failure);
}

QCoro::Task<> PairingClient::upload(TokenPtr poll)
{
    const QPointer<PairingClient> self(this);
    if (!m_chosenConvo)
        co_return;
    const Conversation conversation = *m_chosenConvo;
    m_uploading = true;
    setStep(Step::uploading());

    // A fresh snapshot, so messages that arrived since the listing are included.
    QFuture<Outcome<QByteArray>> building =
        QtConcurrent::run(buildUploadBody, snapshotMaker(), conversation, m_sessionId, m_macKey);
    const Outcome<QByteArray> body = co_await building;
    if (!self || poll->cancelled())
        co_return;
    if (!body.value) {
        m_uploading = false;
        fail(body.error);
        co_return;
    }

    const PairingTransport::Reply reply = co_await m_transport.post(QStringLiteral("vellora-pair-upload"), *body.value, poll);
    if (reply.isCancelled())
        co_return;
    if (reply.isFailed()) {
        m_uploading = false;
        fail(reply.failure);
        co_return;
    }
    setStep(Step::done());
    poll->cancel();
}

void PairingClient::relaunch()
{
    const QPointer<PairingClient> self(this);
    m_launcher->launchNewInstance([self](bool started) {
        if (!started)
            return;
        // The platform may report from any thread; quitting happens on the main thread.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self] {
                if (PairingClient *client = self.data(); client && client->m_quit)
                    client->m_quit();
            },
            Qt::QueuedConnection);
    });
}

void PairingClient::applicationActivated()
{
    if (m_step == Step::needsAccess() && m_didVisitSettings)
        relaunch();
}

QString PairingClient::interruptedMessage()
{
    return tr("Something interrupted pairing \u2014 quit and reopen Vellora iMessage Importer, then try again.");
}

QString PairingClient::resolveApiBase(const QString &environment, const QString &configured)
{
    if (!environment.isEmpty())
        return environment;
    if (!configured.isEmpty())
        return configured;
    return QStringLiteral("https://api.vellora.app");
}

QString PairingClient::apiBase()
{
    static const QString base = resolveApiBase(qEnvironmentVariable("VELLORA_API_BASE"),
                                               AppInfo::valueOr(bundleInfoValue("VelloraBackendBase"), {}));
    return base;
}

QString PairingClient::randomKey()
{
    QByteArray bytes(32, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(QRandomGenerator::system()->generate() & 0xff);
    return QString::fromLatin1(bytes.toHex());
}

QString PairingClient::sha256(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QImage PairingClient::makeQR(const QString &text)
{
    return QrCode::render(text.toUtf8());
}
