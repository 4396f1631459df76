#include "processresult.h"

#include <QMetaEnum>

QString ProcessResult::outcome() const
{
    if (!started)
        return QStringLiteral("failed to start: %1").arg(errorString);
    if (timedOut)
        return QStringLiteral("did not finish within its limit and was killed");
    if (cancelled)
        return QStringLiteral("was stopped because its run was cancelled");
    if (exitStatus == QProcess::CrashExit)
        return QStringLiteral("crashed (signal %1)").arg(exitCode);
    return QStringLiteral("exited with code %1").arg(exitCode);
}

QString ProcessResult::exitStatusName(QProcess::ExitStatus status)
{
    return QString::fromLatin1(QMetaEnum::fromType<QProcess::ExitStatus>().valueToKey(status));
}

QString ProcessResult::textUpToNul(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}
