#pragma once

#include "processresult.h"

#include <QByteArray>
#include <sys/types.h>

// A child that a worker thread streams data through without an event loop (tar fed with
// an archive as it downloads). Its standard input, output and error are non-blocking pipe
// ends for poll(). The child leads its own process group, so the helpers it starts (the
// decompressor) end with it. ProcessRunner::stopAll() ends it from any thread.
class PipeProcess
{
public:
    PipeProcess() = default;
    ~PipeProcess(); // a child still running is stopped and reaped
    PipeProcess(const PipeProcess&) = delete;
    PipeProcess& operator=(const PipeProcess&) = delete;

    // Uses program, arguments, workingDirectory, environment, timeoutMs and cancel.
    bool start(const ProcessRequest& request);
    bool isRunning() const { return pid > 0; }

    int inputFd() const { return input; } // -1 once closed
    int outputFd() const { return output; }
    int errorFd() const { return error; }
    void closeInput();
    // Appends what the pipe holds now; false once the child closed it.
    bool readOutput(QByteArray* bytes) { return readFrom(&output, bytes); }
    bool readError(QByteArray* bytes) { return readFrom(&error, bytes); }

    // Reaps the child if it has ended. Also ends it (terminate, kill after the grace) when
    // its cancel token is set, the station quits or its limit passed. True once it is over.
    bool checkFinished();
    void stop(); // terminate, kill after the grace, reap: returns when the child is gone
    ProcessResult result() const { return outcome; }

    static void stopAllRunning(); // for ProcessRunner::stopAll()

private:
    bool readFrom(int* fd, QByteArray* bytes);
    void reap(int status);
    void closeAll();

    pid_t pid = -1;
    int input = -1;
    int output = -1;
    int error = -1;
    qint64 deadlineMs = -1; // monotonic; -1: no limit
    ProcessRequest request;
    ProcessResult outcome;
};
