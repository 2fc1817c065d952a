#include "BenchData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <stdexcept>

#include <unistd.h>

namespace {

QString key(const SampleOptions &o)
{
    return QStringLiteral("seed%1-h%2-d%3-g%4-m%5-l%6-w%7-s%8-v1")
        .arg(o.seed)
        .arg(o.handles)
        .arg(o.directChats)
        .arg(o.groupChats)
        .arg(o.messages)
        .arg(o.longConversationMessages)
        .arg(o.walMessages)
        .arg(o.secondsDatedPercent);
}

QJsonObject toJson(const SampleSummary &s)
{
    QJsonArray handles;
    for (const SampleHandle &h : s.handles)
        handles.append(QJsonObject{{u"rowId"_qs, h.rowId}, {u"id"_qs, h.id}, {u"service"_qs, h.service},
                                   {u"name"_qs, h.name}, {u"nullId"_qs, h.nullId}});
    QJsonArray longChats;
    for (qint64 id : s.longChatIds)
        longChats.append(id);
    return {{u"handles"_qs, handles},       {u"longPartner"_qs, s.longPartner},
            {u"longChatIds"_qs, longChats}, {u"longMessages"_qs, s.longMessages},
            {u"messages"_qs, s.messages},   {u"walMessages"_qs, s.walMessages},
            {u"directChats"_qs, s.directChats}, {u"groupChats"_qs, s.groupChats},
            {u"walOnlyPartner"_qs, s.walOnlyPartner}};
}

SampleSummary fromJson(const QJsonObject &o)
{
    SampleSummary s;
    for (const QJsonValue &v : o[u"handles"_qs].toArray()) {
        const QJsonObject h = v.toObject();
        s.handles.append({h[u"rowId"_qs].toInteger(), h[u"id"_qs].toString(), h[u"service"_qs].toString(),
                          h[u"name"_qs].toString(), h[u"nullId"_qs].toBool()});
    }
    for (const QJsonValue &v : o[u"longChatIds"_qs].toArray())
        s.longChatIds.append(v.toInteger());
    s.longPartner = o[u"longPartner"_qs].toString();
    s.longMessages = o[u"longMessages"_qs].toInteger();
    s.messages = o[u"messages"_qs].toInteger();
    s.walMessages = o[u"walMessages"_qs].toInteger();
    s.directChats = o[u"directChats"_qs].toInt();
    s.groupChats = o[u"groupChats"_qs].toInt();
    s.walOnlyPartner = o[u"walOnlyPartner"_qs].toString();
    return s;
}

BenchData load()
{
    const SampleOptions options = benchOptions();
    const QString root = QStringLiteral(VELLORA_BENCH_DATA_DIR);
    const QString dir = root + u'/' + key(options);
    QFile summaryFile(dir + u"/summary.json"_qs);
    if (summaryFile.open(QIODevice::ReadOnly))
        return {dir + u"/chat.db"_qs, fromJson(QJsonDocument::fromJson(summaryFile.readAll()).object())};

    // Written aside and renamed into place, so a half-written set is never reused.
    const QString scratch = dir + QStringLiteral(".partial-%1").arg(::getpid());
    QDir(scratch).removeRecursively();
    std::fprintf(stderr, "generating the benchmark database in %s ...\n", qPrintable(dir));
    QElapsedTimer timer;
    timer.start();
    const SampleSummary summary = writeSampleDatabase(scratch + u"/chat.db"_qs, options);
    QFile out(scratch + u"/summary.json"_qs);
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(toJson(summary)).toJson()) < 0)
        throw std::runtime_error("cannot write the benchmark summary");
    out.close();
    if (!QDir().rename(scratch, dir))
        throw std::runtime_error("cannot move the benchmark database into place");
    std::fprintf(stderr, "generated in %.1f s\n", double(timer.elapsed()) / 1000.0);
    return {dir + u"/chat.db"_qs, summary};
}

} // namespace

SampleOptions benchOptions()
{
    SampleOptions o;
    o.seed = 20240601;
    o.handles = 5200;
    o.directChats = 5000;
    o.groupChats = 50;
    o.messages = 1'000'000;
    o.longConversationMessages = 200'000;
    o.walMessages = 500;
    return o;
}

const BenchData &benchData()
{
    static const BenchData data = load();
    return data;
}

void linkDatabase(const QString &source, const QString &home)
{
    const QString folder = home + QStringLiteral("/Library/Messages");
    QDir().mkpath(folder);
    for (const char *suffix : {"", "-wal", "-shm"}) {
        const QString from = source + QLatin1String(suffix);
        if (QFile::exists(from))
            QFile::link(from, folder + QStringLiteral("/chat.db") + QLatin1String(suffix));
    }
}
