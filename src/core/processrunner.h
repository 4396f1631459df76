#pragma once

#include "processresult.h"

// Runs a child to its end (or its limit) in the calling thread. Used from the GUI
// thread and from pool tasks alike; each call owns its own QProcess.
class ProcessRunner
{
public:
    static ProcessResult run(const ProcessRequest& request);
};
