#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

class QImage;

struct PhoneClientOptions {
    std::string caFile;  // PEM file of extra trust anchors for an https base; empty: the system's
    std::chrono::milliseconds pollInterval{250};
    std::chrono::milliseconds waitTimeout{std::chrono::minutes(10)};
    std::chrono::seconds requestTimeout{60};
};

struct ConversationChoice {
    std::string name;
    std::string handle;
    std::int64_t count = 0;
    std::optional<std::string> first;
    std::optional<std::string> last;
};

struct ReceivedTranscript {
    std::string text;
    std::string fileName;
};

class PhoneError : public std::runtime_error {
public:
    enum class Kind {
        badImage,   // no readable QR code in the image
        transport,  // no connection, TLS failure, timeout, answer not JSON
        refused,    // the service answered outside 200-299
        timedOut,   // a wait ran out of time
        cancelled,  // cancel() ended a wait
    };
    PhoneError(Kind kind, const std::string &message, int status = 0)
        : std::runtime_error(message), m_kind(kind), m_status(status) {}
    Kind kind() const { return m_kind; }
    int status() const { return m_status; }  // the HTTP status of a refusal

private:
    Kind m_kind;
    int m_status;
};

// The phone's side of pairing, as blocking calls: run it on a worker thread next to an event loop.
// Every call throws PhoneError on failure.
class PhoneClient {
public:
    explicit PhoneClient(const std::string &baseUrl, PhoneClientOptions options = {});
    ~PhoneClient();
    PhoneClient(const PhoneClient &) = delete;
    PhoneClient &operator=(const PhoneClient &) = delete;

    void claim(const std::string &sessionId);
    std::optional<ConversationChoice> choice();   // none while the importer has not chosen
    ConversationChoice waitForChoice();
    std::string ready();                          // the fresh upload id
    std::optional<ReceivedTranscript> fetch();    // none until the importer has uploaded
    ReceivedTranscript waitForTranscript();
    // Tells the service the transcript is safe here: it deletes its copy. Until then a fetch
    // whose answer was lost can be repeated.
    void confirmReceived();
    void abort();

    // From any thread: ends a running or later wait with PhoneError::Kind::cancelled.
    void cancel();

    const std::string &sessionId() const { return m_sessionId; }

    // The text of the QR code in an image file (PNG, JPEG, ...) or in an image already loaded,
    // such as the importer's own QR image or a screenshot of its window.
    static std::string sessionIdFromImage(const std::string &path);
    static std::string sessionIdFromImage(const QImage &image);

private:
    struct Http;
    // Calls `check` every poll interval until it yields a value.
    template <typename T, typename Check>
    T waitFor(Check &&check, const char *what);

    std::unique_ptr<Http> m_http;
    PhoneClientOptions m_options;
    std::string m_sessionId;
    std::string m_token;
    std::mutex m_cancelMutex;
    std::condition_variable m_cancelled;
    std::atomic<bool> m_cancel{false};
};
