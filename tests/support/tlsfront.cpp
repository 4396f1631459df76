#include "tlsfront.h"

#include "simulator.h"

#include <QJsonDocument>

TlsFront::~TlsFront()
{
    stop();
}

bool TlsFront::start(const QString& upstream, const QStringList& extraArguments)
{
    const QByteArray line =
        startPythonTool(process, QStringLiteral("tls_front.py"),
                        QStringList{QStringLiteral("--upstream"), upstream} + extraArguments);
    m_info = QJsonDocument::fromJson(line).object();
    if (!m_info.isEmpty())
        return true;
    stop();
    const QString error = QString::fromUtf8(process.readAllStandardError()).trimmed();
    // Exit code 3: nginx or openssl missing, or nginx would not start here.
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 3)
        m_skipReason = error;
    else
        qWarning("tls_front did not start: %s", qPrintable(error));
    return false;
}

void TlsFront::stop()
{
    stopPythonTool(process); // SIGTERM first: it stops nginx and removes its folder
}

int TlsFront::port(Kind kind) const
{
    static const char* const keys[] = {"https_port", "wronghost_port", "expired_port", "untrusted_port"};
    return m_info.value(QLatin1String(keys[kind])).toInt();
}

QString TlsFront::baseUrl(Kind kind) const
{
    // localhost everywhere, so that WrongHost is the only name that does not match.
    return QStringLiteral("https://localhost:%1/").arg(port(kind));
}

QString TlsFront::caFile() const
{
    return info("ca_file");
}

QString TlsFront::untrustedCaFile() const
{
    return info("untrusted_ca_file");
}

QString TlsFront::user() const
{
    return info("user");
}

QString TlsFront::password() const
{
    return info("password");
}

QString TlsFront::info(const char* key) const
{
    return m_info.value(QLatin1String(key)).toString();
}
