#pragma once

#include "RedisServer.h"

#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <string>

// The deployment of deploy/ on one machine, on free ports: nginx with deploy/nginx-vellora.conf
// balancing two vellora-backend processes that share one Redis. Stopped when the object goes.
class BalancedNodes {
public:
    // Started, each node with `nodeArguments` besides its port, store and proxy; throws
    // std::runtime_error.
    explicit BalancedNodes(const QStringList &nodeArguments = {});
    ~BalancedNodes();
    BalancedNodes(const BalancedNodes &) = delete;
    BalancedNodes &operator=(const BalancedNodes &) = delete;

    // nginx's address, e.g. "http://127.0.0.1:41234".
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    // The requests node `i` has logged so far, one "POST /vellora-pair-… <status>" line each.
    QByteArray nodeLog(int i) const;

    RedisServer redis;

private:
    QTemporaryDir m_dir;
    int m_port = 0;
    std::unique_ptr<QProcess> m_nodes[2];
    QProcess m_nginx;
};
