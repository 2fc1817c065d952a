// vellora-render-icons: writes the application icon into a hicolor icon theme folder,
// scalable/apps/ID.svg and NxN/apps/ID.png for each size given.
#include "AppIcon.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    const QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "Usage: vellora-render-icons DIR ID [SIZE...]\n");
        return 2;
    }
    const QDir dir(args[1]);
    const QString &id = args[2];
    const auto fail = [](const QString &file) {
        std::fprintf(stderr, "vellora-render-icons: cannot write %s\n", qPrintable(file));
        return 1;
    };
    dir.mkpath(QStringLiteral("scalable/apps"));
    QFile svg(dir.filePath(QStringLiteral("scalable/apps/%1.svg").arg(id)));
    if (!svg.open(QIODevice::WriteOnly | QIODevice::Truncate) || svg.write(AppIcon::svg()) < 0)
        return fail(svg.fileName());
    for (qsizetype i = 3; i < args.size(); ++i) {
        const int size = args[i].toInt();
        const QString sub = QStringLiteral("%1x%1/apps").arg(size);
        dir.mkpath(sub);
        const QString file = dir.filePath(sub + QStringLiteral("/%1.png").arg(id));
        if (size < 1 || !AppIcon::image(size).save(file))
            return fail(file);
    }
    return 0;
}
