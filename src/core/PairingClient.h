#pragma once

#include "Models.h"
#include "PairingTransport.h"

#include <QCoroTask>
#include <QImage>
#include <QList>
#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class AppLauncher;
class Backup;
class ChatDatabase;
class ContactSource;

// Owns one run of the importer: the step the window shows, the QR code, the conversation
// list, the pairing credentials, the choice and the poll loop; the backend is reached through
// its transport. Main thread only.
class PairingClient : public QObject {
    Q_OBJECT

public:
    class Step {
    public:
        enum class Kind {
            starting, needsAccess, scan, pick, finishing, uploading, done, updateRequired, failed,
            locked,    // an encrypted backup waits for its password; the text says why a try failed
            unlocking  // its keys are being derived
        };

        Step() : Step(Kind::starting) {}

        static Step starting() { return Step(Kind::starting); }
        static Step needsAccess() { return Step(Kind::needsAccess); }
        static Step scan() { return Step(Kind::scan); }
        static Step pick() { return Step(Kind::pick); }
        static Step finishing() { return Step(Kind::finishing); }
        static Step uploading() { return Step(Kind::uploading); }
        static Step done() { return Step(Kind::done); }
        static Step updateRequired(const QString &downloadUrl) { return Step(Kind::updateRequired, downloadUrl); }
        static Step failed(const QString &message) { return Step(Kind::failed, message); }
        static Step locked(const QString &message = {}) { return Step(Kind::locked, message); }
        static Step unlocking() { return Step(Kind::unlocking); }

        Kind kind() const { return m_kind; }
        // The download address of updateRequired, the message of failed; empty otherwise.
        const QString &text() const { return m_text; }
        QString toString() const;

        bool operator==(const Step &) const = default;

    private:
        explicit Step(Kind kind, QString text = {}) : m_kind(kind), m_text(std::move(text)) {}
        Kind m_kind;
        QString m_text;
    };

    static constexpr std::chrono::milliseconds defaultPollInterval{1500};
    // The failure text of a session the backend reports aborted.
    static QString interruptedMessage();
    static inline const QString downloadPage = QStringLiteral("https://vellora.app/download/imessage-importer");

    explicit PairingClient(QObject *parent = nullptr);
    ~PairingClient() override;

    const Step &step() const { return m_step; }
    const QImage &qrImage() const { return m_qrImage; }
    const QList<Conversation> &conversations() const { return m_conversations; }
    bool didVisitSettings() const { return m_didVisitSettings; }
    void setDidVisitSettings(bool visited) { m_didVisitSettings = visited; }

    // Starts (or restarts) the flow; whatever an earlier run still waits for ends silently.
    void begin();
    // Records the user's pick and reports it to the backend.
    void choose(const Conversation &conversation);
    // Starts a new instance of the application and quits this one once it runs.
    void relaunch();

    // Where the messages come from: the Mac's Messages database (the default), a database file
    // the user opened, or an iPhone backup folder. Each starts the flow again from it.
    void openDatabase(const QString &path);
    void openBackup(const QString &folder);
    // Unlocks the open encrypted backup on a worker thread; the password is wiped after use.
    void unlock(QString password);
    // Stops unlocking and asks for the password again.
    void cancelUnlock();
    // Stops unlocking, forgets the chosen source and starts again from the standard one.
    void chooseAnotherSource();
    bool hasBackup() const { return m_backup != nullptr; }
    // The window became active again: relaunch when back from the settings at the gate.
    void applicationActivated();

    // Backend base: VELLORA_API_BASE, then the value fixed at build time, then the default.
    static QString apiBase();
    static QString resolveApiBase(const QString &environment, const QString &configured);
    static QString randomKey();
    static QString sha256(const QString &text);
    static QImage makeQR(const QString &text);

    // Seams for tests and tools.
    void setApiBase(const QString &base) { m_transport.setApiBase(base); }
    void setPollInterval(std::chrono::milliseconds interval) { m_pollInterval = interval; }
    std::chrono::milliseconds pollInterval() const { return m_pollInterval; }
    void setTransferTimeout(std::chrono::milliseconds timeout) { m_transport.setTransferTimeout(timeout); }
    void setSslConfiguration(const QSslConfiguration &configuration) { m_transport.setSslConfiguration(configuration); }
    void setLauncher(std::unique_ptr<AppLauncher> launcher);
    void setContactSource(std::shared_ptr<ContactSource> source) { m_contactSource = std::move(source); }
    void setQuitHandler(std::function<void()> quit) { m_quit = std::move(quit); }
    // Starts the timer the poll loop sleeps on for one interval; a test's clock starts it for
    // longer and fires it once the test has moved its own time past the interval.
    using PollClock = PairingTransport::Token::Clock;
    void setPollClock(PollClock clock) { m_pollClock = std::move(clock); }
    const QString &sessionId() const { return m_sessionId; }
    const QString &macKey() const { return m_macKey; }
    bool isPolling() const;

signals:
    void stepChanged();
    void qrImageChanged();
    void conversationsChanged();

private:
    using Token = PairingTransport::Token;
    using TokenPtr = PairingTransport::TokenPtr;

    QCoro::Task<> startSession(TokenPtr run);
    void startPolling();
    QCoro::Task<> pollLoop(TokenPtr poll);
    QCoro::Task<> pollOnce(TokenPtr poll);
    QCoro::Task<> upload(TokenPtr poll);
    QCoro::Task<> reportChoice(Conversation conversation, TokenPtr run);

    void setStep(const Step &step);
    void fail(const QString &message) { setStep(Step::failed(message)); }
    void cancelPolling();
    void stopRun();
    void resetSource();
    // The database file read when no backup is open.
    QString databasePath() const;
    // A new private snapshot of the current source, on any thread.
    std::function<std::unique_ptr<ChatDatabase>()> snapshotMaker() const;
    QCoro::Task<> unlockBackup(QByteArray password, TokenPtr run);

    Step m_step = Step::starting();
    QImage m_qrImage;
    QList<Conversation> m_conversations;
    bool m_didVisitSettings = false;
    QString m_sessionId;
    QString m_macKey;
    std::optional<Conversation> m_chosenConvo;
    TokenPtr m_pollTask;
    bool m_uploading = false;

    TokenPtr m_run;
    PairingTransport m_transport{apiBase()};
    std::chrono::milliseconds m_pollInterval = defaultPollInterval;
    PollClock m_pollClock;
    std::shared_ptr<ContactSource> m_contactSource;
    QString m_databasePath;  // empty: the Mac's Messages database
    std::shared_ptr<Backup> m_backup;
    std::shared_ptr<std::atomic_bool> m_unlockCancelled;
    std::unique_ptr<AppLauncher> m_launcher;
    std::function<void()> m_quit;
};
