// vellora-backend: the reference pairing service as a command-line program.
#include "DevCertificate.h"
#include "PairingService.h"

#include <QDir>
#include <QStandardPaths>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>

namespace {

const char *const usage =
    "Usage: vellora-backend [options]\n"
    "  --port N                 port to listen on (default 8787; 0 picks a free one)\n"
    "  --host ADDR              address to listen on (default 127.0.0.1)\n"
    "  --db FILE                SQLite file of the sessions (default: vellora-backend/sessions.sqlite\n"
    "                           in the user's data folder)\n"
    "  --in-memory              keep sessions in memory only\n"
    "  --session-ttl SECONDS    idle time after which a session expires (default 900)\n"
    "  --max-body BYTES         largest request body accepted (default 67108864)\n"
    "  --min-client-version V   importers older than V are told to update (default: none)\n"
    "  --download-url URL       where those importers get a newer one\n"
    "  --cert FILE --key FILE   serve HTTPS with this certificate and private key (PEM)\n"
    "  --dev-cert DIR           serve HTTPS with a throwaway authority and certificate written\n"
    "                           into DIR; clients trust DIR/ca.pem\n"
    "  --threads N              threads answering requests (default: one per core); idle and slow\n"
    "                           connections hold none\n";

[[noreturn]] void usageError(const std::string &message)
{
    std::cerr << "vellora-backend: " << message << "\n" << usage;
    std::exit(2);
}

long number(const std::string &option, const char *value, long min)
{
    char *end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (*value == '\0' || *end != '\0' || n < min)
        usageError(option + " needs a whole number of at least " + std::to_string(min));
    return n;
}

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
    PairingServiceOptions options;
    options.port = 8787;
    bool inMemory = false;
    std::string devCertDir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        }
        if (arg == "--in-memory") {
            inMemory = true;
            continue;
        }
        if (i + 1 >= argc)
            usageError("unknown option or missing value: " + arg);
        const char *value = argv[++i];
        if (arg == "--port")
            options.port = static_cast<int>(number(arg, value, 0));
        else if (arg == "--host")
            options.host = value;
        else if (arg == "--db")
            options.databasePath = value;
        else if (arg == "--session-ttl")
            options.idleTimeout = std::chrono::seconds(number(arg, value, 1));
        else if (arg == "--max-body")
            options.maxBodyBytes = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--min-client-version")
            options.minClientVersion = value;
        else if (arg == "--download-url")
            options.downloadUrl = value;
        else if (arg == "--cert")
            options.certFile = value;
        else if (arg == "--key")
            options.keyFile = value;
        else if (arg == "--dev-cert")
            devCertDir = value;
        else if (arg == "--threads")
            options.threads = static_cast<int>(number(arg, value, 1));
        else
            usageError("unknown option: " + arg);
    }
    if (options.port > 65535)
        usageError("--port must be at most 65535");
    if (options.certFile.empty() != options.keyFile.empty())
        usageError("--cert and --key go together");
    if (!devCertDir.empty()) {
        if (!options.certFile.empty())
            usageError("--dev-cert and --cert exclude each other");
        try {
            const DevCertificateFiles files = writeDevCertificates(devCertDir);
            options.certFile = files.certFile;
            options.keyFile = files.keyFile;
            std::cout << "vellora-backend: clients must trust " << files.caFile << std::endl;
        } catch (const std::exception &e) {
            std::cerr << "vellora-backend: " << e.what() << " (does " << devCertDir << " exist?)\n";
            return 1;
        }
    }
    if (inMemory && !options.databasePath.empty())
        usageError("--db and --in-memory exclude each other");
    if (!inMemory && options.databasePath.empty())
        options.databasePath = defaultDatabasePath();

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
    std::cout << "vellora-backend listening on " << service.baseUrl() << " (sessions "
              << (inMemory ? std::string("in memory") : "in " + options.databasePath) << ")" << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::cerr << "vellora-backend: stopping on " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << std::endl;
    service.stop();
    std::cout << "vellora-backend stopped" << std::endl;
    return 0;
}
