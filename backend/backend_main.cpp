// vellora-backend: the reference pairing service as a command-line program.
#include "CommandLine.h"
#include "DevCertificate.h"
#include "PairingService.h"

#include <QDir>
#include <QStandardPaths>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>

namespace {

std::string defaultDatabasePath()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                        QStringLiteral("/vellora-backend");
    QDir().mkpath(dir);
    return (dir + QStringLiteral("/sessions.sqlite")).toStdString();
}

// Every open connection is a descriptor; the soft limit (often 1024) would refuse clients long
// before the service is busy.
void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char **argv)
{
    BackendCommandLine commandLine = parseBackendCommandLine({argv + 1, argv + argc});
    if (commandLine.help) {
        std::cout << backendUsage;
        return 0;
    }
    if (!commandLine.error.empty()) {
        std::cerr << "vellora-backend: " << commandLine.error << "\n" << backendUsage;
        return 2;
    }
    PairingServiceOptions &options = commandLine.service;
    if (!commandLine.devCertDir.empty()) {
        try {
            const DevCertificateFiles files = writeDevCertificates(commandLine.devCertDir);
            options.certFile = files.certFile;
            options.keyFile = files.keyFile;
            std::cout << "vellora-backend: clients must trust " << files.caFile << std::endl;
        } catch (const std::exception &e) {
            std::cerr << "vellora-backend: " << e.what() << " (does " << commandLine.devCertDir << " exist?)\n";
            return 1;
        }
    }
    if (!options.redisUrl.empty()) {
        // Never on the command line, where every user of the machine can read it.
        if (!commandLine.passwordFile.empty()) {
            std::ifstream file(commandLine.passwordFile);
            if (!file || !std::getline(file, options.redisPassword)) {
                std::cerr << "vellora-backend: cannot read " << commandLine.passwordFile << "\n";
                return 1;
            }
        } else if (const char *password = std::getenv("VELLORA_REDIS_PASSWORD")) {
            options.redisPassword = password;
        }
    } else if (!commandLine.inMemory && options.databasePath.empty()) {
        options.databasePath = defaultDatabasePath();
    }

    auto logMutex = std::make_shared<std::mutex>();
    options.log = [logMutex](const std::string &line) {
        std::lock_guard lock(*logMutex);
        std::cerr << line << std::endl;
    };

    // Block the stop signals before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    raiseOpenFileLimit();
    PairingService service(options);
    try {
        service.start();
    } catch (const std::exception &e) {
        std::cerr << "vellora-backend: " << e.what() << "\n";
        return 1;
    }
    const std::string where = !options.redisUrl.empty() ? "in " + options.redisUrl
                              : commandLine.inMemory    ? std::string("in memory")
                                                        : "in " + options.databasePath;
    std::cout << "vellora-backend listening on " << service.baseUrl() << " (sessions " << where << ")" << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::cerr << "vellora-backend: stopping on " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << std::endl;
    service.stop();
    std::cout << "vellora-backend stopped" << std::endl;
    return 0;
}
