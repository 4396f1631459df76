#pragma once

#include "processresult.h"

#include <QObject>
#include <QTimer>

// A child that runs while the event loop goes on. Output is handed on as it
// arrives; the end, however it came about, is reported exactly once.
class AsyncProcess : public QObject
{
    Q_OBJECT
public:
    explicit AsyncProcess(QObject* parent = nullptr);
    ~AsyncProcess() override; // a child still running is stopped, never left to report to the dead

    void start(const ProcessRequest& request);
    bool isRunning() const;
    // Terminate, then kill once the grace period has passed.
    void stop(int graceMs = 3000);
    // The station quits: every running child is ended now, waiting at most a short grace.
    static void stopAllRunning();

signals:
    void standardOutputAvailable(const QByteArray& bytes);
    void finished(const ProcessResult& result);

private:
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onErrorOccurred(QProcess::ProcessError error);
    void onWatchdog();
    void report();
    void stopNow(); // waits; the event loop may be gone

    QProcess process;
    QTimer watchdog;
    ProcessRequest request;
    ProcessResult result;
    bool reported = false;
};
