#include "PairingTransport.h"

#include "HelperError.h"

#include <QCoroNetworkReply>
#include <QCoroTimer>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTimer>

#include <utility>

namespace {

// The errors QNetworkReply derives from an HTTP status rather than from the transfer.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    const int code = int(error);
    return error == QNetworkReply::NoError || error == QNetworkReply::ProxyAuthenticationRequiredError
        || error == QNetworkReply::ProtocolInvalidOperationError || (code >= 201 && code <= 299)
        || (code >= 401 && code <= 499);
}

PairingTransport::Reply failedWith(QString failure)
{
    return {PairingTransport::Reply::Outcome::failed, {}, std::move(failure)};
}

} // namespace

void PairingTransport::Token::cancel()
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

QCoro::Task<> PairingTransport::Token::sleep(std::chrono::milliseconds duration, Clock clock)
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

QCoro::Task<PairingTransport::Reply> PairingTransport::post(QString endpoint, QByteArray body, TokenPtr token)
{
    const QUrl url(m_apiBase + QLatin1Char('/') + endpoint, QUrl::StrictMode);
    if (!url.isValid())
        co_return failedWith(HelperError::sqlite(tr("bad url")).errorDescription());

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(int(m_transferTimeout.count()));
    if (m_sslConfiguration)
        request.setSslConfiguration(*m_sslConfiguration);

    QNetworkReply *reply = m_network.post(request, body);
    token->m_replies.append(reply);
    co_await reply;
    token->m_replies.removeAll(reply);
    reply->deleteLater();
    // The owner cancels every token it handed out before it goes, so nothing of it is used here.
    if (token->cancelled())
        co_return Reply{};

    // Only a token aborts replies, so a cancellation it did not make is the transfer timeout.
    const QNetworkReply::NetworkError failure = reply->error();
    if (failure == QNetworkReply::OperationCanceledError || failure == QNetworkReply::TimeoutError)
        co_return failedWith(tr("The request timed out."));
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.toInt();
    // A redirect that could not be followed (no usable Location) is a status like any other.
    const bool unfollowedRedirect = code >= 300 && code <= 399;
    if (!status.isValid() || !(unfollowedRedirect || isHttpStatusError(failure)))
        co_return failedWith(reply->errorString());

    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll());
    QJsonObject answer = document.isObject() ? document.object() : QJsonObject();
    if (code < 200 || code > 299) {
        const QJsonValue error = answer.value(QStringLiteral("error"));
        co_return failedWith(HelperError::sqlite(error.isString() ? error.toString()
                                                                  : tr("request failed (%1)").arg(code))
                                 .errorDescription());
    }
    co_return Reply{Reply::Outcome::answered, std::move(answer), {}};
}
