#include "CommandLine.h"

#include <cerrno>
#include <cstdlib>

const char *const backendUsage =
    "Usage: vellora-backend [options]\n"
    "  --port N                 port to listen on (default 8787; 0 picks a free one)\n"
    "  --host ADDR              address to listen on (default 127.0.0.1)\n"
    "  --db FILE                SQLite file of the sessions (default: vellora-backend/sessions.sqlite\n"
    "                           in the user's data folder)\n"
    "  --in-memory              keep sessions in memory only\n"
    "  --store redis://HOST:PORT[/DB]\n"
    "                           keep sessions in Redis, shared with every node using it; the\n"
    "                           password, if any, comes from VELLORA_REDIS_PASSWORD or the file\n"
    "                           --store-password-file names\n"
    "  --store-password-file FILE\n"
    "                           the Redis password, the file's first line\n"
    "  --session-ttl SECONDS    idle time after which a session expires (default 900)\n"
    "  --max-body BYTES         largest upload body accepted (default 67108864)\n"
    "  --max-request BYTES      largest body of any other request (default 65536)\n"
    "  --max-version BYTES      longest client_version (default 64)\n"
    "  --max-field BYTES        longest name, handle, key, token or file name (default 1024)\n"
    "  --max-in-flight BYTES    request-body bytes held by all connections together; beyond it,\n"
    "                           503 with Retry-After (default 268435456)\n"
    "  --min-rate BYTES         bytes a body must bring in every rate window (per second;\n"
    "                           default 65536)\n"
    "  --rate-window SECONDS    length of that window (default 10)\n"
    "  --unknown-sender-rate BYTES\n"
    "                           bytes per second read of all upload bodies together before their\n"
    "                           credentials arrive, past each one's first 64 KiB, and of bodies\n"
    "                           drained after a refusal (default 16777216)\n"
    "  --header-timeout SECONDS from a request's first byte to the end of its header (default 10)\n"
    "  --idle-timeout SECONDS   a connection with no request under way is closed (default 20)\n"
    "  --max-connections N      open connections in total (default 10000)\n"
    "  --max-connections-per-address N\n"
    "                           open connections per client address (default 256)\n"
    "  --create-burst N         sessions a client address may create at once (default 60)\n"
    "  --creates-per-second N   then this many a second; beyond them, 429 (default 10)\n"
    "  --max-sessions N         live sessions; beyond them, creation gets 503 (default 100000)\n"
    "  --trusted-proxy ADDR     a load balancer at ADDR names the client in X-Forwarded-For\n"
    "  --min-client-version V   importers older than V are told to update (default: none)\n"
    "  --download-url URL       where those importers get a newer one\n"
    "  --cert FILE --key FILE   serve HTTPS with this certificate and private key (PEM)\n"
    "  --dev-cert DIR           serve HTTPS with a throwaway authority and certificate written\n"
    "                           into DIR; clients trust DIR/ca.pem\n"
    "  --threads N              threads answering requests (default: one per core, four per core\n"
    "                           with --store); idle and slow connections hold none\n";

namespace {

// Ends parsing with a message for the user.
struct Refusal {
    std::string message;
};

// Large enough for any limit, small enough that no field wraps and no time in seconds
// overflows once counted in milliseconds.
constexpr long largestNumber = 1'000'000'000'000;

long number(const std::string &option, const std::string &value, long min, long max = largestNumber)
{
    char *end = nullptr;
    errno = 0;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < min)
        throw Refusal{option + " needs a whole number of at least " + std::to_string(min)};
    if (errno == ERANGE || n > max)
        throw Refusal{option + " must be at most " + std::to_string(max)};
    return n;
}

void parse(const std::vector<std::string> &arguments, BackendCommandLine &line)
{
    PairingServiceOptions &options = line.service;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &arg = arguments[i];
        if (arg == "--help" || arg == "-h") {
            line.help = true;
            return;
        }
        if (arg == "--in-memory") {
            line.inMemory = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            throw Refusal{"unknown option or missing value: " + arg};
        const std::string &value = arguments[++i];
        if (arg == "--port")
            options.port = static_cast<int>(number(arg, value, 0, 65535));
        else if (arg == "--host")
            options.host = value;
        else if (arg == "--db")
            options.databasePath = value;
        else if (arg == "--store")
            options.redisUrl = value;
        else if (arg == "--store-password-file")
            line.passwordFile = value;
        else if (arg == "--session-ttl")
            options.idleTimeout = std::chrono::seconds(number(arg, value, 1));
        else if (arg == "--max-body")
            options.maxBodyBytes = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--max-request")
            options.maxRequestBytes = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--max-version")
            options.maxVersionBytes = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--max-field")
            options.maxFieldBytes = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--max-in-flight")
            options.maxBodyBytesInFlight = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--min-rate")
            options.minBytesPerSecond = static_cast<std::size_t>(number(arg, value, 0));
        else if (arg == "--unknown-sender-rate")
            options.unknownSenderBytesPerSecond = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--rate-window")
            options.rateWindow = std::chrono::seconds(number(arg, value, 1));
        else if (arg == "--header-timeout")
            options.headerTimeout = std::chrono::seconds(number(arg, value, 1));
        else if (arg == "--idle-timeout")
            options.connectionIdleTimeout = std::chrono::seconds(number(arg, value, 1));
        else if (arg == "--max-connections")
            options.maxConnections = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--max-connections-per-address")
            options.maxConnectionsPerAddress = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--create-burst")
            options.createBurst = double(number(arg, value, 1));
        else if (arg == "--creates-per-second")
            options.createsPerSecond = double(number(arg, value, 1));
        else if (arg == "--max-sessions")
            options.maxLiveSessions = static_cast<std::size_t>(number(arg, value, 1));
        else if (arg == "--trusted-proxy")
            options.trustedProxy = value;
        else if (arg == "--min-client-version")
            options.minClientVersion = value;
        else if (arg == "--download-url")
            options.downloadUrl = value;
        else if (arg == "--cert")
            options.certFile = value;
        else if (arg == "--key")
            options.keyFile = value;
        else if (arg == "--dev-cert")
            line.devCertDir = value;
        else if (arg == "--threads")
            options.threads = static_cast<int>(number(arg, value, 1, 4096));
        else
            throw Refusal{"unknown option: " + arg};
    }
    if (options.certFile.empty() != options.keyFile.empty())
        throw Refusal{"--cert and --key go together"};
    if (!line.devCertDir.empty() && !options.certFile.empty())
        throw Refusal{"--dev-cert and --cert exclude each other"};
    if (line.inMemory && !options.databasePath.empty())
        throw Refusal{"--db and --in-memory exclude each other"};
    if (!options.redisUrl.empty()) {
        if (line.inMemory || !options.databasePath.empty())
            throw Refusal{"--store excludes --db and --in-memory"};
        if (!options.redisUrl.starts_with("redis://"))
            throw Refusal{"--store needs redis://HOST:PORT[/DB]"};
    } else if (!line.passwordFile.empty()) {
        throw Refusal{"--store-password-file goes with --store"};
    }
}

} // namespace

BackendCommandLine parseBackendCommandLine(const std::vector<std::string> &arguments)
{
    BackendCommandLine line;
    line.service.port = 8787;
    try {
        parse(arguments, line);
    } catch (const Refusal &refusal) {
        line.error = refusal.message;
    }
    return line;
}
