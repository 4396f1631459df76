#pragma once

#include "processresult.h"

// Runs a child to its end (or its limit) in the calling thread. Used from the GUI
// thread and from pool tasks alike; each call owns its own QProcess.
class ProcessRunner
{
public:
    static ProcessResult run(const ProcessRequest& request);

    // The station quits: every child still running ends (terminate, then kill after a
    // short grace) and no new one starts. Safe to call from any thread.
    static void stopAll();
    static bool stoppingAll();

    // Sets up a QProcess as the request asks (channels, folder, environment).
    static void prepare(QProcess& process, const ProcessRequest& request);
};
