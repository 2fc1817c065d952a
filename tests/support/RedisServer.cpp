#include "RedisServer.h"

#include <hiredis/hiredis.h>

#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

RedisServer::RedisServer(const QByteArray &extraConfig) : m_port(freeLoopbackPort())
{
    QFile config(m_dir.filePath(QStringLiteral("redis.conf")));
    if (!config.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write redis.conf");
    // The deployment's own settings, but for where it listens, its folder and its password.
    config.write("include " VELLORA_DEPLOY_DIR "/redis.conf\nbind 127.0.0.1\nport " + QByteArray::number(m_port) +
                 "\ndir " + QFile::encodeName(m_dir.path()) + "/data\nrequirepass \"\"\nlogfile \"\"\n" + extraConfig);
    config.close();
    QDir(m_dir.path()).mkpath(QStringLiteral("data"));
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("redis.log")));
    start();
}

RedisServer::~RedisServer()
{
    stop();
}

void RedisServer::start()
{
    m_process.start(QStringLiteral("redis-server"), {m_dir.filePath(QStringLiteral("redis.conf"))});
    if (!m_process.waitForStarted())
        throw std::runtime_error("redis-server did not start: is it installed (make deps)?");
    // PONG, or a refusal when it asks for a password: either way, it answers.
    for (int i = 0; i < 500 && command({QStringLiteral("PING")}).isEmpty(); ++i)
        QTest::qWait(10);
    if (command({QStringLiteral("PING")}).isEmpty())
        throw std::runtime_error("redis-server does not answer");
}

void RedisServer::kill()
{
    m_process.kill();
    m_process.waitForFinished();
}

void RedisServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        kill();
}

QByteArray RedisServer::dataFiles() const
{
    QByteArray bytes;
    QDirIterator it(m_dir.filePath(QStringLiteral("data")), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            bytes += file.readAll();
    }
    return bytes;
}

QByteArray RedisServer::command(const QStringList &words) const
{
    redisContext *c = redisConnectWithTimeout("127.0.0.1", m_port, timeval{1, 0});
    if (!c || c->err) {
        redisFree(c);
        return {};
    }
    std::vector<QByteArray> utf8;
    std::vector<const char *> argv;
    std::vector<std::size_t> lengths;
    for (const QString &w : words)
        utf8.push_back(w.toUtf8());
    for (const QByteArray &w : utf8) {
        argv.push_back(w.constData());
        lengths.push_back(std::size_t(w.size()));
    }
    auto *reply = static_cast<redisReply *>(redisCommandArgv(c, int(argv.size()), argv.data(), lengths.data()));
    QByteArray text;
    const auto word = [](const redisReply *r) {
        return r->type == REDIS_REPLY_INTEGER ? QByteArray::number(r->integer) : QByteArray(r->str, int(r->len));
    };
    if (reply && reply->type == REDIS_REPLY_ARRAY) {
        for (std::size_t i = 0; i < reply->elements; ++i)
            text += word(reply->element[i]) + '\n';
    } else if (reply && reply->type != REDIS_REPLY_NIL) {
        text = word(reply);
    }
    freeReplyObject(reply);
    redisFree(c);
    return text;
}
