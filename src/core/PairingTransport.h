#pragma once

#include <QCoreApplication>
#include <QCoroTask>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSslConfiguration>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkReply;
class QTimer;

// The backend's JSON-over-HTTPS exchange: one POST of a compact JSON object to a named
// endpoint, answered by a JSON object. Main thread only.
class PairingTransport {
    Q_DECLARE_TR_FUNCTIONS(PairingTransport)

public:
    // Cancellation of one run or one poll loop: a flag that every task checks after each wait,
    // the replies it has in flight (aborted on cancel) and the timer it sleeps on (woken).
    class Token {
    public:
        // Starts the timer a sleep waits on; without one it runs for the duration asked.
        using Clock = std::function<void(QTimer &timer, std::chrono::milliseconds duration)>;

        bool cancelled() const { return m_cancelled; }
        void cancel();
        QCoro::Task<> sleep(std::chrono::milliseconds duration, Clock clock = {});

    private:
        friend class PairingTransport;
        bool m_cancelled = false;
        QList<QPointer<QNetworkReply>> m_replies;
        QPointer<QTimer> m_sleep;
    };
    using TokenPtr = std::shared_ptr<Token>;

    // How one post() ended: with the answer, with the text the failure screen shows, or
    // cancelled because its token was, which nobody is shown.
    struct Reply {
        enum class Outcome { answered, failed, cancelled };
        Outcome outcome = Outcome::cancelled;
        QJsonObject answer;  // answered only
        QString failure;     // failed only

        bool isCancelled() const { return outcome == Outcome::cancelled; }
        bool isFailed() const { return outcome == Outcome::failed; }
    };

    static constexpr std::chrono::milliseconds defaultTransferTimeout{60000};

    explicit PairingTransport(QString apiBase) : m_apiBase(std::move(apiBase)) {}

    void setApiBase(const QString &base) { m_apiBase = base; }
    void setTransferTimeout(std::chrono::milliseconds timeout) { m_transferTimeout = timeout; }
    void setSslConfiguration(const QSslConfiguration &configuration) { m_sslConfiguration = configuration; }

    // `body` is a JSON object already serialised in compact form. Never throws.
    QCoro::Task<Reply> post(QString endpoint, QByteArray body, TokenPtr token);

private:
    QNetworkAccessManager m_network;
    QString m_apiBase;
    std::chrono::milliseconds m_transferTimeout = defaultTransferTimeout;
    std::optional<QSslConfiguration> m_sslConfiguration;
};
