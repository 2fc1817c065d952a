// vellora-phone: plays the phone's side of pairing against the backend, from a terminal.
#include "PhoneClient.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

namespace {

const char *const usage =
    "Usage: vellora-phone (--image QR.png | --screen | --session ID) [options]\n"
    "  --image FILE       read the session id from the QR code in this image\n"
    "  --screen           like a phone camera: capture the whole screen (X display $DISPLAY)\n"
    "                     until a QR code shows on it\n"
    "  --session ID       or take it as given\n"
    "  --base URL         backend base address (default: $VELLORA_API_BASE, else http://127.0.0.1:8787)\n"
    "  --ca-cert FILE     trust this certificate authority (PEM) for an https base\n"
    "  --output FILE      write the transcript here (default: standard output)\n"
    "  --timeout SECONDS  longest wait for the code on screen, for the choice and for the\n"
    "                     transcript (default 600)\n"
    "  --abort            claim the session, then abort it\n"
    "Exit codes: 0 done, 1 cannot write the output, 2 usage, 3 no QR code in the image\n"
    "  (or no screen to capture),\n"
    "  4 backend unreachable or TLS failure, 5 backend refused a request, 6 timed out.\n";

enum Exit { done = 0, outputFailed = 1, wrongUsage = 2, badImage = 3, unreachable = 4, refused = 5, timedOut = 6 };

[[noreturn]] void usageError(const std::string &message)
{
    std::cerr << "vellora-phone: " << message << "\n" << usage;
    std::exit(wrongUsage);
}

int exitCode(const PhoneError &e)
{
    switch (e.kind()) {
    case PhoneError::Kind::badImage: return badImage;
    case PhoneError::Kind::transport: return unreachable;
    case PhoneError::Kind::refused: return refused;
    case PhoneError::Kind::timedOut:
    case PhoneError::Kind::cancelled: return timedOut;
    }
    return refused;
}

// Captures the screen until zxing finds a QR code on it, as a phone camera pointed at it would.
std::string sessionIdFromScreen(int argc, char **argv, std::chrono::seconds timeout)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        throw PhoneError(PhoneError::Kind::badImage, "--screen needs an X display ($DISPLAY is not set)");
    qputenv("QT_QPA_PLATFORM", "xcb");
    const QGuiApplication app(argc, argv);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        throw PhoneError(PhoneError::Kind::badImage, "no screen to capture");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        try {
            return PhoneClient::sessionIdFromImage(screen->grabWindow(0).toImage());
        } catch (const PhoneError &) {
            if (std::chrono::steady_clock::now() >= deadline)
                throw PhoneError(PhoneError::Kind::timedOut, "timed out waiting for a QR code on the screen");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::string image, sessionId, output, caFile;
    const char *envBase = std::getenv("VELLORA_API_BASE");
    std::string base = envBase && *envBase ? envBase : "http://127.0.0.1:8787";
    long timeout = 600;
    bool abortSession = false;
    bool screen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return done;
        }
        if (arg == "--abort" || arg == "--screen") {
            (arg == "--abort" ? abortSession : screen) = true;
            continue;
        }
        if (i + 1 >= argc)
            usageError("unknown option or missing value: " + arg);
        const std::string value = argv[++i];
        if (arg == "--image")
            image = value;
        else if (arg == "--session")
            sessionId = value;
        else if (arg == "--base")
            base = value;
        else if (arg == "--ca-cert")
            caFile = value;
        else if (arg == "--output")
            output = value;
        else if (arg == "--timeout") {
            char *end = nullptr;
            timeout = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || timeout < 1)
                usageError("--timeout needs a whole number of seconds, at least 1");
        } else
            usageError("unknown option: " + arg);
    }
    if (int(!image.empty()) + int(!sessionId.empty()) + int(screen) != 1)
        usageError("give exactly one of --image, --screen and --session");

    // Progress goes to standard error, so the transcript alone can go to standard output.
    try {
        if (!image.empty()) {
            sessionId = PhoneClient::sessionIdFromImage(image);
            std::cerr << "QR code: " << sessionId << "\n";
        } else if (screen) {
            std::cerr << "Looking for a QR code on the screen\n";
            sessionId = sessionIdFromScreen(argc, argv, std::chrono::seconds(timeout));
            std::cerr << "QR code on the screen: " << sessionId << "\n";
        }
        PhoneClientOptions options;
        options.caFile = caFile;
        options.waitTimeout = std::chrono::seconds(timeout);
        PhoneClient phone(base, options);
        phone.claim(sessionId);
        std::cerr << "Claimed session " << sessionId << "\n";
        if (abortSession) {
            phone.abort();
            std::cerr << "Aborted session " << sessionId << "\n";
            return done;
        }
        const ConversationChoice choice = phone.waitForChoice();
        std::cerr << "Chosen: " << choice.name << " <" << choice.handle << ">, " << choice.count << " messages, "
                  << choice.first.value_or("no date") << " to " << choice.last.value_or("no date") << "\n";
        phone.ready();
        std::cerr << "Ready for the transcript\n";
        const ReceivedTranscript transcript = phone.waitForTranscript();
        if (output.empty()) {
            std::cout << transcript.text << std::flush;
        } else {
            std::ofstream file(output, std::ios::binary | std::ios::trunc);
            file << transcript.text;
            file.close();
            if (!file) {
                std::cerr << "vellora-phone: cannot write " << output << "\n";
                return outputFailed;
            }
        }
        std::cerr << "Received " << transcript.fileName << " (" << transcript.text.size() << " bytes)"
                  << (output.empty() ? std::string() : " into " + output) << "\n";
        // Only once it is written: until then the service keeps its copy for another fetch.
        phone.confirmReceived();
        std::cerr << "Confirmed receipt; the service has deleted its copy\n";
        return done;
    } catch (const PhoneError &e) {
        std::cerr << "vellora-phone: " << e.what() << "\n";
        return exitCode(e);
    } catch (const std::exception &e) {
        std::cerr << "vellora-phone: " << e.what() << "\n";
        return unreachable;
    }
}
