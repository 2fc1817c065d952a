#include "AppInfo.h"

#include <QTest>

class TestAppInfo : public QObject {
    Q_OBJECT

private slots:
    void versionAndBuild()
    {
        // Without a bundle: the project's version and the build number a packager did not set.
        QCOMPARE(AppInfo::version(), u"0.1.0"_qs);
        QCOMPARE(AppInfo::build(), u"dev"_qs);
        QCOMPARE(AppInfo::valueOr(u"2.3"_qs, u"fallback"_qs), u"2.3"_qs);
        QCOMPARE(AppInfo::valueOr(QString(), u"fallback"_qs), u"fallback"_qs);
        QCOMPARE(AppInfo::valueOr(41, u"fallback"_qs), u"fallback"_qs); // QVariant would make "41" of it
    }
};

QTEST_GUILESS_MAIN(TestAppInfo)
#include "test_app_info.moc"
