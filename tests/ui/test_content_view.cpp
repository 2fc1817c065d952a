// The main window's content driven through a real controller against a scripted HTTP server
// on 127.0.0.1 and a Messages database written by the fixture builder; then the picker alone.
#include "Accessibility.h"
#include "Backup.h"
#include "BackupWriter.h"
#include "Brand.h"
#include "ContentView.h"
#include "PairingClient.h"
#include "PhoneClient.h"
#include "Picker.h"
#include "Platform.h"
#include "ScriptedServer.h"
#include "TestEnv.h"
#include "Transcript.h"
#include "WidgetImage.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QFile>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;
using namespace Endpoints;
using Kind = PairingClient::Step::Kind;
using Answer = ScriptedServer::Answer;

Q_DECLARE_METATYPE(Kind)

namespace {

// Counts launches and reports none started, so nothing quits.
struct CountingLauncher final : AppLauncher {
    explicit CountingLauncher(int &count) : launches(count) {}
    void launchNewInstance(std::function<void(bool)> started) override { ++launches, started(false); }
    int &launches;
};

QAbstractButton *button(QWidget *screen, const QString &title)
{
    for (QAbstractButton *candidate : screen->findChildren<QAbstractButton *>())
        if (candidate->text() == title && candidate->isVisibleTo(screen))
            return candidate;
    return nullptr;
}

Conversation convo(const char *name, const char *handle, qint64 count = 3,
                   std::optional<RefDate> last = 730000000.0)
{
    return {QString::fromUtf8(handle), QString::fromUtf8(name), {1}, count, last, last};
}

const QList<Conversation> people{
    convo("Anna Smith", "+15550001111"),
    convo("Bob Jones", "joann@example.com"),
    convo("\u00C9lodie Martin", "+33612345678"),
    convo("Zo\u00EB", "+15551234567"),
    convo("Hannah", "hannah@ann.example"),
};

// The handles the picker lists, or the text it shows instead.
QStringList shown(const Picker &picker)
{
    const auto *empty = picker.findChild<BrandText *>(QStringLiteral("emptyText"));
    if (empty->isVisibleTo(&picker) == picker.list()->isVisibleTo(&picker))
        return {QStringLiteral("the list and the text both shown or both hidden")};
    if (empty->isVisibleTo(&picker))
        return {empty->text()};
    QStringList result;
    const auto *model = static_cast<ConversationListModel *>(picker.list()->model());
    for (int row = 0; row < model->rowCount(); ++row)
        result << model->conversation(row).handle;
    return result;
}

// What a screen reader can reach: the interfaces below `root` not marked invisible.
QList<QAccessibleInterface *> exposed(QAccessibleInterface *root)
{
    QList<QAccessibleInterface *> result;
    for (int i = 0; i < root->childCount(); ++i)
        if (QAccessibleInterface *child = root->child(i); child && !child->state().invisible)
            result << child << exposed(child);
    return result;
}

void moveTo(ConversationList *list, QPoint pos)
{
    QMouseEvent move(QEvent::MouseMove, pos, list->viewport()->mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &move);
}

} // namespace

class TestContentView : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScopedHome> m_home;
    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<ContentView> m_view;
    ActivationSource m_activation;
    QList<QUrl> m_opened;
    int m_launches = 0;

    PairingClient &pairing() { return m_view->pairing(); }
    QWidget *screen() { return m_view->currentScreen(); }

    bool waitFor(Kind kind, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return pairing().step().kind() == kind; }, timeoutMs);
    }

    // Scripts the server and shows the view (which begins) so that it reaches `kind`.
    void reach(Kind kind, const QByteArray &downloadUrl = "https://example.com/dl")
    {
        if (kind == Kind::needsAccess)
            QFile::remove(m_home->chatDbPath());
        else if (kind == Kind::starting)
            m_server->hold(create);
        else if (kind == Kind::updateRequired)
            m_server->enqueue(create, {200, "{\"status\":\"update_required\",\"download_url\":\"" + downloadUrl + "\"}"});
        else if (kind == Kind::failed)
            m_server->setDefault(create, {500, "{}"});
        else if (kind != Kind::scan)
            m_server->enqueue(poll, {200, R"({"status":"claimed"})"});
        m_view->show();
        if (kind == Kind::finishing || kind == Kind::uploading || kind == Kind::done) {
            QVERIFY(waitFor(Kind::pick));
            if (kind != Kind::finishing) {
                if (kind == Kind::uploading)
                    m_server->hold(upload);
                m_server->setDefault(poll, {200, R"({"status":"claimed","upload_id":"u"})"});
            }
            pairing().choose(pairing().conversations().first());
        }
        QVERIFY2(waitFor(kind), qPrintable(pairing().step().toString()));
        QCoreApplication::processEvents();  // the new screen's layout
    }

    void showPickAt(int width)
    {
        m_view->resize(width, 700);
        reach(Kind::pick);
    }

private slots:
    void initTestCase() { Accessibility::install(); }

    void init()
    {
        qunsetenv("XDG_DATA_HOME");
        m_home = std::make_unique<ScopedHome>();
        writeTwoPartners(m_home->chatDbPath());
        m_server = std::make_unique<ScriptedServer>();
        m_view = std::make_unique<ContentView>();
        m_view->setOpenUrl([this](const QUrl &url) { m_opened << url; });
        m_view->setActivationSource(&m_activation);
        pairing().setApiBase(m_server->baseUrl());
        pairing().setPollInterval(20ms);
        pairing().setLauncher(std::make_unique<CountingLauncher>(m_launches));
        m_opened.clear();
        m_launches = 0;
    }

    void cleanup()
    {
        m_view.reset();
        // The controller's cancelled tasks end on the event loop, not in its destructor.
        finishCancelledTasks();
        m_server.reset();
        m_home.reset();
    }

    void sizeAndAppearance()
    {
        reach(Kind::scan);  // the code on the screen is the session's
        QCOMPARE(QString::fromStdString(PhoneClient::sessionIdFromImage(renderWidget(m_view.get()))),
                 pairing().sessionId());
        m_view->resize(1400, 1000);
        QCoreApplication::processEvents();
        QVERIFY(qAbs(screen()->mapTo(m_view.get(), screen()->rect().center()).x() - 700) <= 1);

        // begin() each time the view appears.
        QCOMPARE(m_server->requests(create).size(), 1);
        m_view->hide();
        m_view->show();
        QVERIFY(m_server->waitForRequests(create, 2));
    }

    // One heading per screen, only the shown screen's; texts as static text, the logo silent.
    void screenReader_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<int>("role");  // and one more thing the screen exposes
        QTest::addColumn<QString>("name");
        QTest::newRow("starting: the spinner busy") << Kind::starting << u"Getting ready\u2026"_s
                                                    << int(QAccessible::ProgressBar) << QString();
        QTest::newRow("failed: the message") << Kind::failed << u"That didn't take"_s << int(QAccessible::StaticText)
                                             << u"Couldn't open the Messages database: request failed (500)"_s;
        QTest::newRow("scan: the code") << Kind::scan << u"Scan this with Vellora"_s << int(QAccessible::Graphic)
                                        << u"QR code"_s;
    }

    void screenReader()
    {
        QFETCH(Kind, kind);
        QFETCH(QString, heading);
        QFETCH(int, role);
        QFETCH(QString, name);
        reach(kind);
        QStringList headings;
        QAccessibleInterface *found = nullptr;
        for (QAccessibleInterface *node : exposed(QAccessible::queryAccessibleInterface(m_view.get()))) {
            if (node->role() == QAccessible::Heading)
                headings << node->text(QAccessible::Name);
            if (node->role() == role && node->text(QAccessible::Name) == name)
                found = node;
            QVERIFY(node->role() != QAccessible::Graphic || node->text(QAccessible::Name) == u"QR code"_s);
        }
        QCOMPARE(headings, QStringList{heading});
        QVERIFY(QAccessible::queryAccessibleInterface(m_view->findChild<BrandLogo *>())->state().invisible);
        QVERIFY(found);
        QVERIFY(role != QAccessible::ProgressBar || found->state().busy);
        QVERIFY(role != QAccessible::Graphic || found->text(QAccessible::Description).contains(u"Vellora app"_s));
    }

    void buttons_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QList<QUrl>>("opened");
        QTest::addColumn<int>("launches");
        QTest::addColumn<int>("begins");
        const QUrl settings(u"x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles"_s);
        const QUrl page(QStringLiteral("https://example.com/dl"));
#ifdef Q_OS_MACOS
        QTest::newRow("Open System Settings, twice") << Kind::needsAccess << QByteArray() << "Open System Settings"
                                                     << QList<QUrl>{settings, settings} << 0 << 0;
        QTest::newRow("I've done it") << Kind::needsAccess << QByteArray() << "I've done it" << QList<QUrl>{} << 1 << 0;
#endif
        QTest::newRow("Try again, twice") << Kind::failed << QByteArray() << "Try again" << QList<QUrl>{} << 0 << 2;
        QTest::newRow("Download, web address") << Kind::updateRequired << QByteArray("https://example.com/dl")
                                               << "Download the latest" << QList<QUrl>{page} << 0 << 0;
        QTest::newRow("Download, no address") << Kind::updateRequired << QByteArray() << "Download the latest"
                                              << QList<QUrl>{} << 0 << 0;
        // The address comes from the backend: a local file is never opened.
        QTest::newRow("Download, local file") << Kind::updateRequired << QByteArray("file:///etc/passwd")
                                              << "Download the latest" << QList<QUrl>{} << 0 << 0;
    }

    void buttons()
    {
        QFETCH(Kind, kind);
        QFETCH(QByteArray, address);
        QFETCH(QString, title);
        QFETCH(QList<QUrl>, opened);
        QFETCH(int, launches);
        QFETCH(int, begins);
        reach(kind, address);
        const qsizetype createsBefore = m_server->requests(create).size();
        const int presses = std::max<qsizetype>(1, std::max<qsizetype>(opened.size(), begins));
        for (int i = 0; i < presses; ++i) {
            QAbstractButton *pressed = button(screen(), title);
            QVERIFY(pressed);
            QCOMPARE(QAccessible::queryAccessibleInterface(pressed)->text(QAccessible::Name), title);
            QTest::mouseClick(pressed, Qt::LeftButton);
            if (begins)
                QVERIFY(m_server->waitForRequests(create, int(createsBefore) + i + 1) && waitFor(Kind::failed));
        }
        QCoreApplication::processEvents();  // whatever a press queued
        QCOMPARE(m_opened, opened);
        QCOMPARE(m_launches, launches);
        QCOMPARE(m_server->requests(create).size() - createsBefore, begins);
        QCOMPARE(pairing().didVisitSettings(), title == QLatin1String("Open System Settings"));
        if (!begins)
            QCOMPARE(pairing().step().kind(), kind);
    }

#ifndef Q_OS_MACOS
    // The backups found, newest first, as the picker's cards (what a card shows is in the reference
    // pictures); choosing the locked one asks for its password.
    void sourceAndPassword()
    {
        QCoreApplication::setOrganizationName(u"VelloraTest"_s);
        QSettings().remove(u"backups"_s);
        const QString phones = m_home->home() + u"/phones"_s;
        BackupOptions older;
        older.date = QDateTime(QDate(2025, 1, 2), QTime(8, 0), Qt::UTC);
        writeBackup(phones + u"/a"_s, messagesFiles(m_home->chatDbPath()), older);
        BackupOptions locked;
        locked.password = "sesame";
        locked.sha256Iterations = 1'000'000;  // a try takes a visible moment, as on a phone's backup
        writeBackup(phones + u"/b"_s, messagesFiles(m_home->chatDbPath()), locked);
        Backup::rememberFolder(phones);
        m_view->resize(600, 720);
        reach(Kind::needsAccess);
        QCOMPARE(screen()->objectName(), u"source"_s);

        auto *list = screen()->findChild<ConversationList *>();

        // The locked one, by a click: its password screen.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(0, 0)).center());
        QVERIFY(waitFor(Kind::locked));
        auto *field = screen()->findChild<QLineEdit *>(u"password"_s);
        QCOMPARE(field->echoMode(), QLineEdit::Password);

        // A wrong password: said, and the field keeps it.
        QTest::keyClicks(field, u"open sesame"_s);
        QTest::mouseClick(button(screen(), u"Unlock"_s), Qt::LeftButton);
        QCOMPARE(pairing().step().kind(), Kind::unlocking);
        QVERIFY(waitFor(Kind::locked));
        auto *failure = screen()->findChild<BrandText *>(u"failure"_s);
        QVERIFY(failure->isVisible());
        QCOMPARE(failure->text(), u"That password didn't work."_s);
        QCOMPARE(field->text(), u"open sesame"_s);

        // Unlock pressed again while unlocking stops it; Return unlocks.
        field->setText(u"sesame"_s);
        QTest::mouseClick(button(screen(), u"Unlock"_s), Qt::LeftButton);
        QTest::mouseClick(button(screen(), u"Unlock"_s), Qt::LeftButton);
        QCOMPARE(pairing().step(), PairingClient::Step::locked());
        finishCancelledTasks();
        QCOMPARE(pairing().step(), PairingClient::Step::locked());
        m_server->enqueue(poll, {200, R"({"status":"claimed"})"});
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(waitFor(Kind::pick));
        QCOMPARE(field->text(), QString());  // gone with the screen

        // A folder chosen that holds both opens the newest; "Choose another backup" goes back to the list.
        QString chosen;
        m_view->setChooseBackupFolder([&chosen] { return chosen; });
        m_view->openBackupFolder();  // cancelled
        QCOMPARE(pairing().step().kind(), Kind::pick);
        chosen = phones;
        m_view->openBackupFolder();
        QVERIFY(waitFor(Kind::locked));
        QTest::mouseClick(button(screen(), u"Choose another backup"_s), Qt::LeftButton);
        QVERIFY(waitFor(Kind::needsAccess));
        QCOMPARE(screen()->objectName(), u"source"_s);

        // Return opens the card with the keyboard's focus: the plain one lists at once.
        list->setFocus();
        list->setCurrentIndex(list->model()->index(1, 0));
        m_server->enqueue(poll, {200, R"({"status":"claimed"})"});
        QTest::keyClick(list, Qt::Key_Return);
        QVERIFY(waitFor(Kind::pick));
        QCOMPARE(pairing().conversations().size(), 2);
    }
#endif

    // Coming back to the application reaches the controller; its relaunch rules are its own test's.
    void activation()
    {
        reach(Kind::needsAccess);
        pairing().setDidVisitSettings(true);
        emit m_activation.stateChanged(Qt::ApplicationInactive);
        QCOMPARE(m_launches, 0);
        emit m_activation.stateChanged(Qt::ApplicationActive);
        QCOMPARE(m_launches, 1);
    }

    void rowActivation_data()
    {
        QTest::addColumn<int>("key");  // 0: a click on the second row
        QTest::addColumn<bool>("chooses");
        QTest::newRow("click") << 0 << true;
        QTest::newRow("Return") << int(Qt::Key_Return) << true;
        QTest::newRow("Space") << int(Qt::Key_Space) << true;
        QTest::newRow("Return in the search field") << -int(Qt::Key_Return) << false;
    }

    void rowActivation()
    {
        QFETCH(int, key);
        QFETCH(bool, chooses);
        showPickAt(600);
        m_view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_view.get()));
        ConversationList *list = static_cast<Picker *>(screen())->list();
        const Conversation second = pairing().conversations()[1];
        QVERIFY(QAccessible::queryAccessibleInterface(list)->child(1)->text(QAccessible::Name).startsWith(
            second.displayName + u", 1 messages \u00B7 last "_s));
        screen()->findChild<QLineEdit *>()->setFocus();
        if (key == 0) {
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(1, 0)).center());
        } else if (key < 0) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(-key));
        } else {
            // Tab from the search field to the list; the arrow to the second row.
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), list);
            QTest::keyClick(list, Qt::Key_Down);
            QTest::keyClick(list, Qt::Key(key));
        }
        QCoreApplication::processEvents();  // whatever the key or click queued
        QTRY_COMPARE(pairing().step().kind(), chooses ? Kind::finishing : Kind::pick);
        QVERIFY(!chooses || m_server->waitForRequests(choose, 1));
        const auto requests = m_server->requests(choose);
        QCOMPARE(requests.size(), chooses ? 1 : 0);
        QVERIFY(!chooses || requests[0].json[u"handle"_s].toString() == second.handle);
    }

    void queryKeptAcrossTryAgain()
    {
        showPickAt(600);
        auto *search = screen()->findChild<QLineEdit *>(QStringLiteral("search"));
        QTest::keyClicks(search, QStringLiteral("zz"));
        m_server->enqueue(poll, Answer{200, R"({"status":"aborted"})"});
        QVERIFY(waitFor(Kind::failed));
        m_server->enqueue(poll, Answer{200, R"({"status":"claimed"})"});
        QTest::mouseClick(button(screen(), QStringLiteral("Try again")), Qt::LeftButton);
        QVERIFY(waitFor(Kind::pick));
        QCOMPARE(m_view->query(), QStringLiteral("zz"));
        QCOMPARE(shown(*static_cast<Picker *>(screen())), QStringList{u"No matches \u2014 try a different name or number."_s});
    }

    // The picker on its own: search rule, empty states, subtitle and row painting.
    void search_data()
    {
        QTest::addColumn<bool>("any");  // conversations to pick from, or none
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        const QStringList all{u"+15550001111"_s, u"joann@example.com"_s, u"+33612345678"_s, u"+15551234567"_s, u"hannah@ann.example"_s};
        const QStringList noMatch{u"No matches \u2014 try a different name or number."_s};
        const QStringList none{u"No conversations found in Messages yet."_s};
        QTest::newRow("empty") << true << QString() << all;
        QTest::newRow("only blanks: space, tab, no-break, ideographic") << true << u" \t\u00A0\u3000"_s << all;
        QTest::newRow("ANN between blanks: names and handles, in order, once each")
            << true << u"  ANN\t"_s << QStringList{u"+15550001111"_s, u"joann@example.com"_s, u"hannah@ann.example"_s};
        QTest::newRow("line break is not trimmed") << true << u"ann\n"_s << noMatch;
        QTest::newRow("blank inside stays") << true << u"anna  smith"_s << noMatch;
        QTest::newRow("run of digits") << true << u"5551234"_s << QStringList{u"+15551234567"_s};
        QTest::newRow("leading plus as typed") << true << u"+1555"_s << QStringList{u"+15550001111"_s, u"+15551234567"_s};
        QTest::newRow("spaces between digits") << true << u"555 123"_s << noMatch;
        QTest::newRow("Unicode lower case") << true << u"\u00C9LODIE"_s << QStringList{u"+33612345678"_s};
        QTest::newRow("never across a name's end") << true << u"smith\uFFFF+1"_s << noMatch;
        QTest::newRow("nothing in Messages") << false << QString() << none;
        QTest::newRow("nothing in Messages, a query") << false << u"ann"_s << none;
    }

    void search()
    {
        QFETCH(bool, any);
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        Picker picker;
        picker.setConversations(any ? people : QList<Conversation>{});
        picker.findChild<QLineEdit *>(QStringLiteral("search"))->setText(query);
        QCOMPARE(shown(picker), expected);
    }

    void subtitle()
    {
        const RefDate march2024 = 732000000;
        const QString last = QStringLiteral(" \u00B7 last ") + DateFmt::monthYearFormatter().string(march2024);
        QCOMPARE(ConversationRow::subtitle(convo("A", "a", 1, std::nullopt)), QStringLiteral("1 messages"));
        QCOMPARE(ConversationRow::subtitle(convo("A", "a", 1, march2024)), QStringLiteral("1 messages") + last);
        QCOMPARE(ConversationRow::subtitle(convo("A", "a", 1234567, march2024)), QStringLiteral("1234567 messages") + last);
    }

    // Hover follows the pointer's moves only; a press dims the row; a double-click chooses once.
    void pointer()
    {
        Picker picker;
        picker.setConversations(people);
        picker.resize(440, 700);
        picker.show();
        ConversationList *view = picker.list();
        QSignalSpy chosen(&picker, &Picker::chosen);
        const auto item = [&](int r) { return view->visualRect(view->model()->index(r, 0)); };
        moveTo(view, item(1).center());
        QCOMPARE(view->hoveredRow(), 1);
        moveTo(view, item(1).bottomLeft() + QPoint(200, -2));  // the gap below the card
        QCOMPARE(view->hoveredRow(), -1);
        moveTo(view, item(1).center());
        picker.findChild<QLineEdit *>(QStringLiteral("search"))->setText(QStringLiteral("o"));
        QCOMPARE(view->hoveredRow(), -1);  // re-filtered under a still pointer
        moveTo(view, item(0).center());
        QCOMPARE(view->hoveredRow(), 0);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(view->viewport(), &leave);
        QCOMPARE(view->hoveredRow(), -1);

        const QPoint edge(item(0).left() + 8, item(0).center().y());
        QCOMPARE(qAlpha(renderWidget(view->viewport(), 1, QWidget::DrawChildren).pixel(edge)), 255);
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, item(0).center());
        QVERIFY(qAlpha(renderWidget(view->viewport(), 1, QWidget::DrawChildren).pixel(edge)) < 230);
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, item(0).center());
        QCOMPARE(chosen.count(), 1);
        // The second click of a double-click: press, double-click event, release.
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, item(0).center());
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, item(0).center());
        QCOMPARE(chosen.count(), 1);
    }
};

QTEST_MAIN(TestContentView)
#include "test_content_view.moc"
