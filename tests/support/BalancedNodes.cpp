#include "BalancedNodes.h"

#include <QFile>
#include <QTest>

#include <unistd.h>

#include <stdexcept>

BalancedNodes::BalancedNodes(const QStringList &nodeArguments) : m_port(freeLoopbackPort())
{
    QByteArray site;
    {
        QFile file(QStringLiteral(VELLORA_DEPLOY_DIR "/nginx-vellora.conf"));
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read deploy/nginx-vellora.conf");
        site = file.readAll();
    }
    const char *const placeholders[] = {"127.0.0.1:8801", "127.0.0.1:8802"};
    for (int i = 0; i < 2; ++i) {
        auto &node = m_nodes[i];
        node = std::make_unique<QProcess>();
        // A file, not a pipe: a node writing its log into a pipe nobody empties would stop.
        node->setStandardErrorFile(m_dir.filePath(QStringLiteral("node%1.log").arg(i)));
        node->start(QStringLiteral(VELLORA_BACKEND_EXE),
                    QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--store"),
                                QString::fromStdString(redis.url()), QStringLiteral("--trusted-proxy"),
                                QStringLiteral("127.0.0.1")} +
                        nodeArguments);
        if (!node->waitForReadyRead(10000))
            throw std::runtime_error("vellora-backend did not start");
        // "vellora-backend listening on http://127.0.0.1:PORT (sessions in …)"
        const QByteArray url = node->readLine().split(' ').value(3);
        site.replace(placeholders[i], url.mid(int(sizeof "http://") - 1));
    }
    site.replace("listen 8080;", "listen 127.0.0.1:" + QByteArray::number(m_port) + ";");

    const QByteArray dir = QFile::encodeName(m_dir.path());
    QFile siteFile(m_dir.filePath(QStringLiteral("vellora.conf")));
    QFile main(m_dir.filePath(QStringLiteral("nginx.conf")));
    if (!siteFile.open(QIODevice::WriteOnly) || !main.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write nginx.conf");
    siteFile.write(site);
    // As root, nginx's workers would otherwise run as nobody, who cannot enter the test's folder.
    main.write(QByteArray(geteuid() == 0 ? "user root;\n" : "") + "daemon off;\nworker_processes 1;\npid " + dir +
               "/nginx.pid;\nerror_log " + dir + "/error.log;\nevents { worker_connections 1024; }\nhttp {\n"
               "  access_log off;\n  client_body_temp_path " + dir + "/body;\n  proxy_temp_path " + dir +
               "/proxy;\n  fastcgi_temp_path " + dir + "/fastcgi;\n  uwsgi_temp_path " + dir + "/uwsgi;\n"
               "  scgi_temp_path " + dir + "/scgi;\n  include " + dir + "/vellora.conf;\n}\n");
    siteFile.close();
    main.close();
    m_nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    m_nginx.start(QStringLiteral("nginx"), {QStringLiteral("-p"), m_dir.path(), QStringLiteral("-c"),
                                            m_dir.filePath(QStringLiteral("nginx.conf")), QStringLiteral("-e"),
                                            m_dir.filePath(QStringLiteral("error.log"))});
    if (!m_nginx.waitForStarted())
        throw std::runtime_error("nginx did not start: is it installed (make deps)?");
    for (int i = 0; i < 500 && !QFile::exists(m_dir.filePath(QStringLiteral("nginx.pid"))); ++i)
        QTest::qWait(10);
    QTest::qWait(100);
    if (m_nginx.state() != QProcess::Running)
        throw std::runtime_error("nginx stopped: see " + m_dir.filePath(QStringLiteral("error.log")).toStdString());
}

BalancedNodes::~BalancedNodes()
{
    m_nginx.terminate();
    m_nginx.waitForFinished(5000);
    for (auto &node : m_nodes) {
        node->terminate();
        node->waitForFinished(5000);
    }
}

QByteArray BalancedNodes::nodeLog(int i) const
{
    QFile log(m_dir.filePath(QStringLiteral("node%1.log").arg(i)));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}
