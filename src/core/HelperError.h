#pragma once

#include <QCoreApplication>
#include <QString>

#include <exception>

// The database reader's error; the transport reuses its sqlite kind for its own failures.
class HelperError : public std::exception {
    Q_DECLARE_TR_FUNCTIONS(HelperError)

public:
    enum class Kind { sqlite, noAccess };

    static HelperError sqlite(const QString &message) { return HelperError(Kind::sqlite, message); }
    static HelperError noAccess() { return HelperError(Kind::noAccess, {}); }

    Kind kind() const { return m_kind; }
    const QString &message() const { return m_message; }

    // The text the user sees.
    QString errorDescription() const
    {
        if (m_kind == Kind::noAccess)
            return tr("Vellora can't open Messages yet \u2014 it needs Full Disk Access.");
        return tr("Couldn't open the Messages database: %1").arg(m_message);
    }

    const char *what() const noexcept override { return m_what.constData(); }

    bool operator==(const HelperError &o) const { return m_kind == o.m_kind && m_message == o.m_message; }

private:
    HelperError(Kind kind, const QString &message)
        : m_kind(kind), m_message(message), m_what(errorDescription().toUtf8())
    {
    }

    Kind m_kind;
    QString m_message;
    QByteArray m_what;
};
