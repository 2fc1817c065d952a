#include "PairingClient.h"

#include "AppInfo.h"
#include "BundleInfo.h"
#include "ChatDatabase.h"
#include "HelperError.h"
#include "Platform.h"
#include "QrCode.h"
#include "Transcript.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QCoroTimer>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QMetaObject>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTimer>
#include <QUuid>
#include <QtConcurrent>

#include <stdexcept>

namespace {

// A transfer that failed below HTTP; carries the platform's own text.
class TransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown out of post() when its run was superseded; never shown to anyone.
struct Cancelled {};

// What the platform says when a request outlives its transfer timeout.
const QString timeoutMessage = QStringLiteral("The request timed out.");

// The failure message rule: the error's own description, else the platform's text.
QString describe(const std::exception &error)
{
    if (const auto *helper = dynamic_cast<const HelperError *>(&error))
        return helper->errorDescription();
    return QString::fromUtf8(error.what());
}

// The errors QNetworkReply derives from an HTTP status rather than from the transfer.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    const int code = int(error);
    return error == QNetworkReply::NoError || error == QNetworkReply::ProxyAuthenticationRequiredError
        || error == QNetworkReply::ProtocolInvalidOperationError || (code >= 201 && code <= 299)
        || (code >= 401 && code <= 499);
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

Outcome<QList<Conversation>> listConversations(const QString &sourcePath, const ContactResolver &names)
{
    return capture<QList<Conversation>>([&] {
        const ChatDatabase snapshot(sourcePath);
        return snapshot.loadConversations([&](const QString &handle) { return names.name(handle); });
    });
}

QByteArray compactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The whole upload body: a long history makes tens of megabytes of JSON, so it is built here
// rather than on the main thread.
Outcome<QByteArray> buildUploadBody(const QString &sourcePath, const Conversation &conversation,
                                    const QString &sessionId, const QString &macKey)
{
    return capture<QByteArray>([&] {
        QList<ChatMessage> messages;
        {
            const ChatDatabase snapshot(sourcePath);
            messages = snapshot.loadMessages(conversation);
        }
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

// Cancellation of one run or one poll loop: a flag that every task checks after each wait,
// the replies it has in flight (aborted on cancel) and the timer it sleeps on (woken).
class PairingClient::Token {
public:
    bool cancelled() const { return m_cancelled; }

    void cancel()
    {
        if (m_cancelled)
            return;
        m_cancelled = true;
        if (m_sleep)
            m_sleep->start(0);
        // abort() finishes a reply synchronously, which resumes its task; take the list first.
        const auto replies = std::exchange(m_replies, {});
        for (const QPointer<QNetworkReply> &reply : replies) {
            if (reply)
                reply->abort();
        }
    }

    void track(QNetworkReply *reply) { m_replies.append(reply); }
    void untrack(QNetworkReply *reply) { m_replies.removeAll(reply); }

    QCoro::Task<> sleep(std::chrono::milliseconds duration, PollClock clock)
    {
        QTimer timer;
        timer.setSingleShot(true);
        // A coarse timer may fire up to 5% early; polls must never come closer than the interval.
        timer.setTimerType(Qt::PreciseTimer);
        if (m_cancelled || !clock)
            timer.start(m_cancelled ? std::chrono::milliseconds(0) : duration);
        else
            clock(timer, duration);
        m_sleep = &timer;
        co_await timer;
        m_sleep = nullptr;
    }

private:
    bool m_cancelled = false;
    QList<QPointer<QNetworkReply>> m_replies;
    QPointer<QTimer> m_sleep;
};

QString PairingClient::Step::toString() const
{
    static const char *const names[] = {"starting", "needsAccess", "scan",           "pick",  "finishing",
                                        "uploading", "done",       "updateRequired", "failed"};
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

void PairingClient::begin()
{
    cancelPolling();
    // Everything the previous run still waits for ends without writing state.
    m_run->cancel();
    m_run = std::make_shared<Token>();

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

    if (ChatDatabase::canAccess()) {
        setStep(Step::starting());
        startSession(m_run);
    } else {
        setStep(Step::needsAccess());
    }
}

QCoro::Task<> PairingClient::startSession(TokenPtr run)
{
    const QPointer<PairingClient> self(this);

    const ContactResolver names = co_await ContactResolver::loadFrom(m_contactSource);
    if (!self || run->cancelled())
        co_return;

    const Outcome<QList<Conversation>> listed =
        co_await QtConcurrent::run(listConversations, ChatDatabase::standardSourcePath(), names);
    if (!self || run->cancelled())
        co_return;
    if (!listed.value) {
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

    QJsonObject answer;
    try {
        answer = co_await post(QStringLiteral("vellora-pair-create"), body, run);
    } catch (const Cancelled &) {
        co_return;
    } catch (const std::exception &e) {
        if (self && !run->cancelled())
            fail(describe(e));
        co_return;
    }
    if (!self || run->cancelled())
        co_return;

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
    const QPointer<PairingClient> self(this);
    if (m_sessionId.isEmpty())
        co_return;

    const QByteArray body = compactJson({
        {QStringLiteral("session_id"), m_sessionId},
        {QStringLiteral("mac_key"), m_macKey},
    });
    QJsonObject answer;
    try {
        answer = co_await post(QStringLiteral("vellora-pair-poll"), body, poll);
    } catch (const Cancelled &) {
        co_return;
    } catch (const std::exception &e) {
        if (self && !poll->cancelled()) {
            fail(describe(e));
            poll->cancel();
        }
        co_return;
    }
    if (!self || poll->cancelled())
        co_return;

    const QJsonValue statusValue = answer.value(QStringLiteral("status"));
    const QString status = statusValue.isString() ? statusValue.toString() : QStringLiteral("pending");
    if (status == QLatin1String("aborted")) {
        fail(interruptedMessage);
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
    const QPointer<PairingClient> self(this);
    const QByteArray body = compactJson({
        {QStringLiteral("session_id"), m_sessionId},
        {QStringLiteral("mac_key"), m_macKey},
        {QStringLiteral("name"), conversation.displayName},
        {QStringLiteral("handle"), conversation.handle},
        {QStringLiteral("count"), conversation.messageCount},
        {QStringLiteral("first"), isoOrNull(conversation.firstMessageDate)},
        {QStringLiteral("last"), isoOrNull(conversation.lastMessageDate)},
    });
    try {
        co_await post(QStringLiteral("vellora-pair-choose"), body, run);
    } catch (const Cancelled &) {
    } catch (const std::exception &e) {
        // A late answer must not take back a transcript already delivered.
        if (self && !run->cancelled() && m_step != Step::done())
            fail(describe(e));
    }
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
    const Outcome<QByteArray> body = co_await QtConcurrent::run(
        buildUploadBody, ChatDatabase::standardSourcePath(), conversation, m_sessionId, m_macKey);
    if (!self || poll->cancelled())
        co_return;
    if (!body.value) {
        m_uploading = false;
        fail(body.error);
        co_return;
    }

    try {
        co_await post(QStringLiteral("vellora-pair-upload"), *body.value, poll);
    } catch (const Cancelled &) {
        co_return;
    } catch (const std::exception &e) {
        if (self && !poll->cancelled()) {
            m_uploading = false;
            fail(describe(e));
        }
        co_return;
    }
    if (!self || poll->cancelled())
        co_return;
    setStep(Step::done());
    poll->cancel();
}

QCoro::Task<QJsonObject> PairingClient::post(QString endpoint, QByteArray body, TokenPtr token)
{
    const QPointer<PairingClient> self(this);
    const QUrl url(m_apiBase + QLatin1Char('/') + endpoint, QUrl::StrictMode);
    if (!url.isValid())
        throw HelperError::sqlite(QStringLiteral("bad url"));

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(int(m_transferTimeout.count()));
    if (m_sslConfiguration)
        request.setSslConfiguration(*m_sslConfiguration);

    QNetworkReply *reply = m_network.post(request, body);
    token->track(reply);
    co_await reply;
    token->untrack(reply);
    reply->deleteLater();
    if (!self || token->cancelled())
        throw Cancelled{};

    // Only our token aborts replies, so a cancellation it did not make is the transfer timeout.
    const QNetworkReply::NetworkError failure = reply->error();
    if (failure == QNetworkReply::OperationCanceledError || failure == QNetworkReply::TimeoutError)
        throw TransportError(timeoutMessage.toStdString());
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.toInt();
    // A redirect that could not be followed (no usable Location) is a status like any other.
    const bool unfollowedRedirect = code >= 300 && code <= 399;
    if (!status.isValid() || !(unfollowedRedirect || isHttpStatusError(failure)))
        throw TransportError(reply->errorString().toStdString());

    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
    const QJsonObject answer = document.isObject() ? document.object() : QJsonObject();
    if (code < 200 || code > 299) {
        const QJsonValue error = answer.value(QStringLiteral("error"));
        throw HelperError::sqlite(error.isString() ? error.toString()
                                                   : QStringLiteral("request failed (%1)").arg(code));
    }
    co_return answer;
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
