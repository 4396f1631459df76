#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>

// Set to end a run early (terminate, then kill after a short grace): a window that closes
// hands it to the runs it started.
using CancelToken = std::shared_ptr<std::atomic<bool>>;
inline CancelToken makeCancelToken()
{
    return std::make_shared<std::atomic<bool>>(false);
}

// What the station asks of one child process run.
struct ProcessRequest
{
    QString program;
    QStringList arguments;
    QString workingDirectory;   // empty: the station's own
    int timeoutMs = 30000;      // <= 0: no limit
    bool forwardOutput = false; // pass the child's output through to ours instead of capturing it
    bool writableStdin = false; // the flash script is opened read-write
    QStringList environment;    // VAR=value entries added to the station's own
    CancelToken cancel;         // optional
};

// How one run ended. A child that never started, or was still running at its
// limit, never counts as a success, whatever exit code Qt reports for it.
struct ProcessResult
{
    bool started = false;
    bool timedOut = false;
    bool cancelled = false; // ended by its cancel token or the station's end
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
    QString errorString;

    bool finished() const { return started && !timedOut && !cancelled; }
    bool succeeded() const { return finished() && exitStatus == QProcess::NormalExit && exitCode == 0; }
    bool exitedNormally() const { return finished() && exitStatus == QProcess::NormalExit; }
    QString outcome() const; // for the debug log: which case happened

    static QString exitStatusName(QProcess::ExitStatus status);
    static QString textUpToNul(const QByteArray& bytes);
};
Q_DECLARE_METATYPE(ProcessResult)
