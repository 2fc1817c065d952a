#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QQueue>
#include <QSet>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace httplib {
class Server;
}

// The pairing service's endpoints.
namespace Endpoints {
inline const QString create = QStringLiteral("vellora-pair-create");
inline const QString poll = QStringLiteral("vellora-pair-poll");
inline const QString choose = QStringLiteral("vellora-pair-choose");
inline const QString upload = QStringLiteral("vellora-pair-upload");
} // namespace Endpoints

// A real HTTP server on 127.0.0.1 that records every request and answers from a script:
// queued answers per endpoint first, then that endpoint's default. An endpoint on hold keeps
// its requests waiting for their answers until it is released.
class ScriptedServer {
public:
    struct Answer {
        int status = 200;
        QByteArray body = "{}";
    };

    struct Request {
        QString endpoint;
        QByteArray contentType;
        QByteArray body;
        QJsonObject json;
        std::chrono::steady_clock::time_point receivedAt;
    };

    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    QString baseUrl() const;
    void enqueue(const QString &endpoint, const Answer &answer);
    void setDefault(const QString &endpoint, const Answer &answer);
    // Requests to `endpoint` are recorded as they come but answered only once it is released.
    void hold(const QString &endpoint);
    void release(const QString &endpoint);

    QList<Request> requests(const QString &endpoint = {}) const;
    // Runs the Qt event loop until `count` requests reached `endpoint`.
    bool waitForRequests(const QString &endpoint, int count, int timeoutMs = 5000) const;

private:
    Answer answerFor(const QString &endpoint);

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    QSet<QString> m_held;
    bool m_stopping = false;
    QHash<QString, QQueue<Answer>> m_queued;
    QHash<QString, Answer> m_defaults;
    QList<Request> m_requests;
};
