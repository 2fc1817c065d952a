// What the packages carry: the macOS Info.plist (generated on every system) and the files a
// Debian package holds, checked by Debian's own checker and the desktop's validators.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

// The top-level dictionary's string entries; other kinds of values are left out.
QMap<QString, QString> plistStrings(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QMap<QString, QString> entries;
    QXmlStreamReader xml(&file);
    QString key;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("key"))
            key = xml.readElementText();
        else if (xml.name() == QLatin1String("string"))
            entries.insert(key, xml.readElementText());
    }
    return xml.hasError() ? QMap<QString, QString>() : entries;
}

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("FAILED: ") + program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) +
               QLatin1Char('\n') + QString::fromLocal8Bit(process.readAll());
    return {};
}

} // namespace

class TestPackaging : public QObject {
    Q_OBJECT

private slots:
    void infoPlist_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");  // null: the key must be missing
        QTest::newRow("version") << "CFBundleShortVersionString" << VELLORA_VERSION;
        // Apple's numeric form: a developer build ("dev") is build 0.
        const QString build = QStringLiteral(VELLORA_BUILD_NUMBER);
        QTest::newRow("build number") << "CFBundleVersion"
                                      << (build == QLatin1String("dev") ? QStringLiteral("0") : build);
        QTest::newRow("minimum macOS") << "LSMinimumSystemVersion" << "13.0";
        QTest::newRow("bundle identifier") << "CFBundleIdentifier" << "app.vellora.imessage-importer";
        QTest::newRow("name") << "CFBundleName" << "Vellora iMessage Importer";
        QTest::newRow("backend base, when configured")
            << "VelloraBackendBase" << (QStringLiteral(VELLORA_BACKEND_BASE).isEmpty() ? QString() : QStringLiteral(VELLORA_BACKEND_BASE));
    }

    void infoPlist()
    {
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const QMap<QString, QString> plist = plistStrings(QStringLiteral(VELLORA_INFO_PLIST));
        QVERIFY2(!plist.isEmpty(), "the Info.plist is missing or not well-formed XML");
        QVERIFY(plist.value(QStringLiteral("NSContactsUsageDescription")).contains(QLatin1String("contacts")));
        QCOMPARE(plist.contains(key), !expected.isNull());
        QCOMPARE(plist.value(key), expected);
    }

    // cpack reads the per-generator settings with CPACK_GENERATOR set to the one it runs.
    void generatorSettings_data()
    {
        QTest::addColumn<QString>("generator");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("volume");
        QTest::newRow("Debian package") << "DEB" << "/usr" << "";
        QTest::newRow("disk image: the app at its root") << "DragNDrop" << "/" << "Vellora iMessage Importer";
    }

    void generatorSettings()
    {
        QFETCH(QString, generator);
        QFETCH(QString, prefix);
        QFETCH(QString, volume);
        QTemporaryDir dir;
        QFile script(dir.filePath(QStringLiteral("print.cmake")));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("set(CPACK_GENERATOR " + generator.toUtf8() + ")\n"
                     "include(\"" VELLORA_CPACK_PROJECT_CONFIG "\")\n"
                     "message(\"${CPACK_PACKAGING_INSTALL_PREFIX}|${CPACK_DMG_VOLUME_NAME}\")\n");
        script.close();
        QProcess cmake;
        cmake.start(QStringLiteral(VELLORA_CMAKE), {QStringLiteral("-P"), script.fileName()});
        QVERIFY(cmake.waitForFinished() && cmake.exitCode() == 0);
        QCOMPARE(QString::fromUtf8(cmake.readAllStandardError()).trimmed(), prefix + QLatin1Char('|') + volume);
    }

    // The Debian package as cpack builds it, judged by Debian's own checker.
    void debianPackage()
    {
#ifdef Q_OS_MACOS
        QSKIP("cpack writes a disk image on macOS");
#endif
        QTemporaryDir dir;
        const QString failure = run(QStringLiteral("cpack"),
                                    {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                                     QStringLiteral(VELLORA_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), dir.path(),
                                     QStringLiteral("-D"), QStringLiteral("CPACK_OUTPUT_FILE_PREFIX=") + dir.path()});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QStringList debs = QDir(dir.path()).entryList({QStringLiteral("*.deb")});
        QCOMPARE(debs.size(), 1);
        const QString lintian = run(QStringLiteral("lintian"), {QStringLiteral("--fail-on"), QStringLiteral("error,warning"),
                                                                QStringLiteral("--tag-display-limit"), QStringLiteral("0"), dir.filePath(debs[0])});
        QVERIFY2(lintian.isEmpty(), qPrintable(lintian));

        // What it installs, checked by the desktop's own validators.
        const QString unpacked = run(QStringLiteral("dpkg-deb"),
                                     {QStringLiteral("-x"), dir.filePath(debs[0]), dir.filePath(QStringLiteral("root"))});
        QVERIFY2(unpacked.isEmpty(), qPrintable(unpacked));
        const QDir usr(dir.filePath(QStringLiteral("root/usr")));
        QVERIFY(QFileInfo(usr.filePath(QStringLiteral("bin/vellora-imessage-importer"))).isExecutable());

        const QString desktop = usr.filePath(QStringLiteral("share/applications/app.vellora.imessage_importer.desktop"));
        const QString metainfo = usr.filePath(QStringLiteral("share/metainfo/app.vellora.imessage_importer.metainfo.xml"));
        const QString validate = run(QStringLiteral("desktop-file-validate"), {desktop}) +
                                 run(QStringLiteral("appstreamcli"), {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo});
        QVERIFY2(validate.isEmpty(), qPrintable(validate));

        const QString icons = usr.filePath(QStringLiteral("share/icons/hicolor/"));
        QVERIFY(QFile(icons + QStringLiteral("scalable/apps/app.vellora.imessage_importer.svg")).size() > 0);
        for (const int size : {16, 32, 48, 64, 128, 256, 512}) {
            const QImage png(icons + QStringLiteral("%1x%1/apps/app.vellora.imessage_importer.png").arg(size));
            QCOMPARE(png.size(), QSize(size, size));
        }
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "test_packaging.moc"
