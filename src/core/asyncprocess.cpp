#include "asyncprocess.h"

#include "processrunner.h"
#include "stationtimings.h"

#include <QDeadlineTimer>
#include <QMetaMethod>
#include <QDebug>
#include <QSet>

namespace {
QSet<AsyncProcess*> live; // GUI thread only
}

AsyncProcess::AsyncProcess(QObject* parent) : QObject(parent)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    watchdog.setSingleShot(true);
    // Output is handed on as it arrives only to a listener; otherwise it is all in the result.
    connect(&process, &QProcess::readyReadStandardOutput, this, [this] {
        if (isSignalConnected(QMetaMethod::fromSignal(&AsyncProcess::standardOutputAvailable)))
            emit standardOutputAvailable(process.readAllStandardOutput());
    });
    connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &AsyncProcess::onFinished);
    connect(&process, &QProcess::errorOccurred, this, &AsyncProcess::onErrorOccurred);
    connect(&watchdog, &QTimer::timeout, this, &AsyncProcess::onWatchdog);
    live.insert(this);
}

AsyncProcess::~AsyncProcess()
{
    live.remove(this);
    if (process.state() != QProcess::NotRunning) {
        qWarning().noquote() << "Stopping" << request.program << "because its owner goes away";
        stopNow();
    }
}

void AsyncProcess::stopNow()
{
    reported = true; // nobody is left to tell
    process.disconnect(this);
    process.terminate();
    if (!process.waitForFinished(StationTimings::current().processStopGraceMs)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

void AsyncProcess::stopAllRunning()
{
    // All are asked at once, so that the grace is spent once, not once per child.
    QList<AsyncProcess*> running;
    for (AsyncProcess* candidate : live) {
        if (candidate->isRunning()) {
            qWarning().noquote() << "Stopping" << candidate->request.program << "because the station quits";
            candidate->reported = true;
            candidate->process.disconnect(candidate);
            candidate->process.terminate();
            running << candidate;
        }
    }
    const QDeadlineTimer grace(StationTimings::current().processStopGraceMs);
    for (AsyncProcess* candidate : running) {
        if (!candidate->process.waitForFinished(int(grace.remainingTime()))) {
            candidate->process.kill();
            candidate->process.waitForFinished(2000);
        }
    }
}

void AsyncProcess::start(const ProcessRequest& newRequest)
{
    request = newRequest;
    result = ProcessResult();
    reported = false;
    if (ProcessRunner::stoppingAll()) {
        result.errorString = QStringLiteral("not started: the station quits");
        QTimer::singleShot(0, this, &AsyncProcess::report);
        return;
    }
    ProcessRunner::prepare(process, request);
    process.start(request.program, request.arguments,
                  request.writableStdin ? QIODevice::ReadWrite : QIODevice::ReadOnly);
    if (request.timeoutMs > 0)
        watchdog.start(request.timeoutMs);
}

bool AsyncProcess::isRunning() const
{
    return process.state() != QProcess::NotRunning;
}

void AsyncProcess::stop(int graceMs)
{
    if (!isRunning())
        return;
    qWarning().noquote() << "Stopping" << request.program;
    process.terminate();
    QTimer::singleShot(graceMs, this, [this] {
        if (isRunning())
            process.kill();
    });
}

void AsyncProcess::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    watchdog.stop();
    result.started = true;
    result.exitCode = exitCode;
    result.exitStatus = exitStatus;
    report();
}

void AsyncProcess::onErrorOccurred(QProcess::ProcessError error)
{
    qWarning().noquote() << "Child" << request.program << "error:" << process.errorString();
    if (error != QProcess::FailedToStart)
        return; // a crash or a timeout ends in finished() as well
    watchdog.stop();
    result.started = false;
    result.errorString = process.errorString();
    report();
}

void AsyncProcess::onWatchdog()
{
    if (!isRunning())
        return;
    qWarning().noquote() << "Child" << request.program << "passed its limit of" << request.timeoutMs << "ms";
    result.timedOut = true;
    process.kill();
}

void AsyncProcess::report()
{
    if (reported)
        return;
    reported = true;
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    if (result.errorString.isEmpty() && !result.succeeded())
        result.errorString = process.errorString();
    // timedOut was set before the kill; keep it so the verdict stays a failure
    emit finished(result);
}
