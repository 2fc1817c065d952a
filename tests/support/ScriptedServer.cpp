#include "ScriptedServer.h"

#include <QJsonDocument>
#include <QTest>

#include <httplib.h>

ScriptedServer::ScriptedServer()
    : m_server(std::make_unique<httplib::Server>())
{
    m_defaults.insert(Endpoints::poll, {200, R"({"status":"pending"})"});
    m_server->Post(R"(/(.*))", [this](const httplib::Request &req, httplib::Response &res) {
        Request recorded;
        recorded.endpoint = QString::fromStdString(req.matches[1]);
        recorded.contentType = QByteArray::fromStdString(req.get_header_value("Content-Type"));
        recorded.body = QByteArray::fromStdString(req.body);
        recorded.json = QJsonDocument::fromJson(recorded.body).object();
        recorded.receivedAt = std::chrono::steady_clock::now();
        std::unique_lock lock(m_mutex);
        m_requests.append(recorded);
        const Answer answer = answerFor(recorded.endpoint);
        m_released.wait(lock, [&] { return m_stopping || !m_held.contains(recorded.endpoint); });
        res.status = answer.status;
        res.set_content(answer.body.toStdString(), "application/json");
    });
    m_port = m_server->bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    while (!m_server->is_running())
        std::this_thread::yield();
}

ScriptedServer::~ScriptedServer()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_released.notify_all();
    m_server->stop();
    m_thread.join();
}

QString ScriptedServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void ScriptedServer::enqueue(const QString &endpoint, const Answer &answer)
{
    const std::lock_guard lock(m_mutex);
    m_queued[endpoint].enqueue(answer);
}

void ScriptedServer::setDefault(const QString &endpoint, const Answer &answer)
{
    const std::lock_guard lock(m_mutex);
    m_defaults.insert(endpoint, answer);
}

void ScriptedServer::hold(const QString &endpoint)
{
    const std::lock_guard lock(m_mutex);
    m_held.insert(endpoint);
}

void ScriptedServer::release(const QString &endpoint)
{
    {
        const std::lock_guard lock(m_mutex);
        m_held.remove(endpoint);
    }
    m_released.notify_all();
}

ScriptedServer::Answer ScriptedServer::answerFor(const QString &endpoint)
{
    QQueue<Answer> &queue = m_queued[endpoint];
    if (!queue.isEmpty())
        return queue.dequeue();
    return m_defaults.value(endpoint, Answer{});
}

QList<ScriptedServer::Request> ScriptedServer::requests(const QString &endpoint) const
{
    const std::lock_guard lock(m_mutex);
    if (endpoint.isEmpty())
        return m_requests;
    QList<Request> matching;
    for (const Request &request : m_requests) {
        if (request.endpoint == endpoint)
            matching.append(request);
    }
    return matching;
}

bool ScriptedServer::waitForRequests(const QString &endpoint, int count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return requests(endpoint).size() >= count; }, timeoutMs);
}
