#include "TestEnv.h"

#include <QtGlobal>

namespace {
std::optional<QByteArray> getEnv(const char *name)
{
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qgetenv(name);
}

void restoreEnv(const char *name, const std::optional<QByteArray> &value)
{
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}
} // namespace

ScopedHome::ScopedHome()
    : m_oldHome(getEnv("HOME")), m_oldTmp(getEnv("TMPDIR"))
{
    QDir().mkpath(home() + QStringLiteral("/Library/Messages"));
    QDir().mkpath(tmp());
    qputenv("HOME", home().toUtf8());
    qputenv("TMPDIR", tmp().toUtf8());
}

ScopedHome::~ScopedHome()
{
    restoreEnv("HOME", m_oldHome);
    restoreEnv("TMPDIR", m_oldTmp);
}

QStringList ScopedHome::snapshotDirs() const
{
    return QDir(tmp()).entryList({QStringLiteral("vellora-imessage-*")},
                                 QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
}
