#include "Measure.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>

namespace {
qint64 statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
} // namespace

Sample measure(const std::function<void()> &work)
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    clear.close();
    const qint64 before = statusKb("VmRSS:");
    const qint64 fileBefore = statusKb("RssFile:");
    QElapsedTimer timer;
    timer.start();
    work();
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    return {ms, double(statusKb("VmHWM:") - before) / 1024.0, double(statusKb("RssFile:") - fileBefore) / 1024.0};
}
