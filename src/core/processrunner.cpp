#include "processrunner.h"

#include <QDebug>

namespace {
const int killGraceMs = 5000;
}

ProcessResult ProcessRunner::run(const ProcessRequest& request)
{
    ProcessResult result;
    QProcess process;
    process.setProcessChannelMode(request.forwardOutput ? QProcess::ForwardedChannels
                                                        : QProcess::SeparateChannels);
    if (!request.workingDirectory.isEmpty())
        process.setWorkingDirectory(request.workingDirectory);

    process.start(request.program, request.arguments,
                  request.writableStdin ? QIODevice::ReadWrite : QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        result.errorString = process.errorString();
        qWarning().noquote() << "Child" << request.program << result.outcome();
        return result;
    }
    result.started = true;

    process.waitForFinished(request.timeoutMs > 0 ? request.timeoutMs : -1);
    if (process.state() != QProcess::NotRunning) {
        result.timedOut = true;
        process.kill();
        process.waitForFinished(killGraceMs);
    }

    result.exitStatus = process.exitStatus();
    result.exitCode = process.exitCode();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    result.errorString = process.errorString();
    if (result.timedOut)
        qWarning().noquote() << "Child" << request.program << result.outcome() << "after" << request.timeoutMs
                             << "ms";
    return result;
}
