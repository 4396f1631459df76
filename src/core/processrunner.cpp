#include "processrunner.h"

#include "asyncprocess.h"
#include "pipeprocess.h"
#include "stationtimings.h"

#include <QDeadlineTimer>
#include <QDebug>

namespace {
const int killGraceMs = 5000;
const int pollMs = 50; // how soon a cancelled run notices
std::atomic<bool> stopping{false};

bool cancelled(const ProcessRequest& request)
{
    return stopping.load() || (request.cancel && request.cancel->load());
}
} // namespace

void ProcessRunner::prepare(QProcess& process, const ProcessRequest& request)
{
    process.setProcessChannelMode(request.forwardOutput ? QProcess::ForwardedChannels
                                                        : QProcess::SeparateChannels);
    if (!request.workingDirectory.isEmpty())
        process.setWorkingDirectory(request.workingDirectory);
    if (!request.environment.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& entry : request.environment)
            environment.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(environment);
    }
}

ProcessResult ProcessRunner::run(const ProcessRequest& request)
{
    ProcessResult result;
    if (cancelled(request)) {
        result.errorString = QStringLiteral("not started: the run was cancelled");
        return result;
    }
    QProcess process;
    prepare(process, request);
    process.start(request.program, request.arguments,
                  request.writableStdin ? QIODevice::ReadWrite : QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        result.errorString = process.errorString();
        qWarning().noquote() << "Child" << request.program << result.outcome();
        return result;
    }
    result.started = true;

    // Waited for in slices, so that a cancel or the station's end is seen at once.
    const QDeadlineTimer deadline = request.timeoutMs > 0 ? QDeadlineTimer(request.timeoutMs)
                                                          : QDeadlineTimer(QDeadlineTimer::Forever);
    while (!process.waitForFinished(pollMs) && process.state() != QProcess::NotRunning) {
        if (cancelled(request)) {
            result.cancelled = true;
            process.terminate();
            if (!process.waitForFinished(StationTimings::current().processStopGraceMs))
                process.kill();
            break;
        }
        if (deadline.hasExpired()) {
            result.timedOut = true;
            process.kill();
            break;
        }
    }
    if (process.state() != QProcess::NotRunning)
        process.waitForFinished(killGraceMs);

    result.exitStatus = process.exitStatus();
    result.exitCode = process.exitCode();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    result.errorString = process.errorString();
    if (result.timedOut || result.cancelled)
        qWarning().noquote() << "Child" << request.program << result.outcome();
    return result;
}

void ProcessRunner::stopAll()
{
    stopping = true;
    AsyncProcess::stopAllRunning();
    PipeProcess::stopAllRunning();
}

bool ProcessRunner::stoppingAll()
{
    return stopping.load();
}
