#define ZX_USE_UTF8
#include "PhoneClient.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QImage>
#include <ZXing/ReadBarcode.h>

using json = nlohmann::json;

struct PhoneClient::Http {
    std::unique_ptr<httplib::Client> client;
    std::string pathPrefix;  // whatever path the base address carries, without a trailing slash

    json call(const char *endpoint, const json &body)
    {
        const auto result = client->Post(pathPrefix + "/" + endpoint, body.dump(), "application/json");
        if (!result) {
            std::string message = std::string(endpoint) + ": " + httplib::to_string(result.error());
            if (result.error() == httplib::Error::SSLServerVerification)
                message += " (the server's certificate is not trusted)";
            throw PhoneError(PhoneError::Kind::transport, message);
        }
        const json answer = json::parse(result->body, nullptr, false);
        if (result->status < 200 || result->status > 299) {
            const std::string text = answer.is_object() && answer.contains("error") && answer["error"].is_string()
                                         ? answer["error"].get<std::string>()
                                         : "request failed (" + std::to_string(result->status) + ")";
            throw PhoneError(PhoneError::Kind::refused, std::string(endpoint) + ": " + text, result->status);
        }
        if (!answer.is_object())
            throw PhoneError(PhoneError::Kind::transport, std::string(endpoint) + ": the answer is not a JSON object");
        return answer;
    }
};

namespace {

std::string stringOr(const json &object, const char *key, const std::string &fallback = {})
{
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

std::optional<std::string> optionalString(const json &object, const char *key)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? std::optional(it->get<std::string>()) : std::nullopt;
}

} // namespace

PhoneClient::PhoneClient(const std::string &baseUrl, PhoneClientOptions options)
    : m_http(std::make_unique<Http>()), m_options(std::move(options))
{
    const auto scheme = baseUrl.find("://");
    const auto pathStart = baseUrl.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    const std::string origin = baseUrl.substr(0, pathStart);
    if (pathStart != std::string::npos) {
        m_http->pathPrefix = baseUrl.substr(pathStart);
        while (!m_http->pathPrefix.empty() && m_http->pathPrefix.back() == '/')
            m_http->pathPrefix.pop_back();
    }
    m_http->client = std::make_unique<httplib::Client>(origin);
    if (!m_http->client->is_valid())
        throw PhoneError(PhoneError::Kind::transport, "not a usable backend address: " + baseUrl);
    if (!m_options.caFile.empty())
        m_http->client->set_ca_cert_path(m_options.caFile.c_str());
    m_http->client->enable_server_certificate_verification(true);
    m_http->client->set_connection_timeout(m_options.requestTimeout);
    m_http->client->set_read_timeout(m_options.requestTimeout);
    m_http->client->set_write_timeout(m_options.requestTimeout);
    // A fresh connection per request: a kept one may be closed by the server while the phone waits.
    m_http->client->set_keep_alive(false);
}

PhoneClient::~PhoneClient() = default;

void PhoneClient::claim(const std::string &sessionId)
{
    const json answer = m_http->call("vellora-pair-claim", json{{"session_id", sessionId}});
    m_token = stringOr(answer, "phone_token");
    if (m_token.empty())
        throw PhoneError(PhoneError::Kind::transport, "vellora-pair-claim: the answer carries no phone token");
    m_sessionId = sessionId;
}

std::optional<ConversationChoice> PhoneClient::choice()
{
    const json answer = m_http->call("vellora-pair-choice", json{{"session_id", m_sessionId}, {"phone_token", m_token}});
    const auto it = answer.find("choice");
    if (it == answer.end() || !it->is_object())
        return std::nullopt;
    ConversationChoice c;
    c.name = stringOr(*it, "name");
    c.handle = stringOr(*it, "handle");
    c.count = it->value("count", json(0)).is_number_integer() ? (*it)["count"].get<std::int64_t>() : 0;
    c.first = optionalString(*it, "first");
    c.last = optionalString(*it, "last");
    return c;
}

ConversationChoice PhoneClient::waitForChoice()
{
    return waitFor<ConversationChoice>([this] { return choice(); }, "the importer's choice");
}

std::string PhoneClient::ready()
{
    const json answer = m_http->call("vellora-pair-ready", json{{"session_id", m_sessionId}, {"phone_token", m_token}});
    return stringOr(answer, "upload_id");
}

std::optional<ReceivedTranscript> PhoneClient::fetch()
{
    const json answer = m_http->call("vellora-pair-fetch", json{{"session_id", m_sessionId}, {"phone_token", m_token}});
    if (stringOr(answer, "status") != "uploaded")
        return std::nullopt;
    return ReceivedTranscript{stringOr(answer, "transcript"), stringOr(answer, "file_name")};
}

ReceivedTranscript PhoneClient::waitForTranscript()
{
    return waitFor<ReceivedTranscript>([this] { return fetch(); }, "the transcript");
}

void PhoneClient::confirmReceived()
{
    m_http->call("vellora-pair-received", json{{"session_id", m_sessionId}, {"phone_token", m_token}});
}

void PhoneClient::abort()
{
    m_http->call("vellora-pair-abort", json{{"session_id", m_sessionId}, {"phone_token", m_token}});
}

void PhoneClient::cancel()
{
    {
        std::lock_guard lock(m_cancelMutex);
        m_cancel = true;
    }
    m_cancelled.notify_all();
}

template <typename T, typename Check>
T PhoneClient::waitFor(Check &&check, const char *what)
{
    const auto deadline = std::chrono::steady_clock::now() + m_options.waitTimeout;
    while (true) {
        if (m_cancel)
            throw PhoneError(PhoneError::Kind::cancelled, std::string("cancelled while waiting for ") + what);
        if (std::optional<T> value = check())
            return std::move(*value);
        if (std::chrono::steady_clock::now() >= deadline)
            throw PhoneError(PhoneError::Kind::timedOut, std::string("timed out waiting for ") + what);
        std::unique_lock lock(m_cancelMutex);
        m_cancelled.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + m_options.pollInterval),
                               [this] { return m_cancel.load(); });
    }
}

std::string PhoneClient::sessionIdFromImage(const std::string &path)
{
    const QImage image(QString::fromStdString(path));
    if (image.isNull())
        throw PhoneError(PhoneError::Kind::badImage, "cannot read the image " + path);
    try {
        return sessionIdFromImage(image);
    } catch (const PhoneError &) {
        throw PhoneError(PhoneError::Kind::badImage, "no QR code found in " + path);
    }
}

std::string PhoneClient::sessionIdFromImage(const QImage &image)
{
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    const ZXing::ImageView view(gray.constBits(), gray.width(), gray.height(), ZXing::ImageFormat::Lum,
                                static_cast<int>(gray.bytesPerLine()));
    const auto result = ZXing::ReadBarcode(view, ZXing::DecodeHints().setFormats(ZXing::BarcodeFormat::QRCode));
    if (!result.isValid())
        throw PhoneError(PhoneError::Kind::badImage, "no QR code found in the image");
    return result.text();
}
