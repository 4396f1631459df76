#pragma once

#include "simulator.h"
#include "testenvironment.h"

// Starts the simulator and points the station's server URLs at it.
inline bool goOnline(TestEnvironment& env, Simulator& sim, const QStringList& simulatorArguments = {})
{
    if (!sim.start(simulatorArguments))
        return false;
    env.pointAt(sim.baseUrl());
    return true;
}
