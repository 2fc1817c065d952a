#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <string>

// A redis-server of the test's own, on a free loopback port with its data folder in a temporary
// one, configured by deploy/redis.conf: every write synced before its answer, no snapshots.
// Stopped when the object goes.
class RedisServer {
public:
    // Started; `extraConfig` lines follow the deployment's.
    explicit RedisServer(const QByteArray &extraConfig = {});
    ~RedisServer();
    RedisServer(const RedisServer &) = delete;
    RedisServer &operator=(const RedisServer &) = delete;

    std::string url() const { return "redis://127.0.0.1:" + std::to_string(m_port) + "/0"; }
    int port() const { return m_port; }
    // Starts again on the same port and folder, and waits until it answers.
    void start();
    // SIGKILL, as a crash or a power loss leaves it to the next start.
    void kill();
    void stop();
    // Every byte of every file in its data folder.
    QByteArray dataFiles() const;
    // One command's answer: a string, an integer in decimal, an array's elements each on a line;
    // empty when Redis does not answer.
    QByteArray command(const QStringList &words) const;

private:
    QTemporaryDir m_dir;
    int m_port = 0;
    QProcess m_process;
};

// A loopback port nobody listens on at the moment of asking.
int freeLoopbackPort();
