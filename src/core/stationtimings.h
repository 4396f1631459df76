#pragma once

// The station's fixed waits and limits. Tests shorten them through the setter;
// the program itself never calls it.
struct StationTimings
{
    int microcontrollerWaitMs = 63000;
    int progressTickMs = 1000;
    int additionalsDelayMs = 30000;
    int flashPauseMs = 200;
    int networkInactivityMs = 60000;
    int scriptTimeoutMs = 240000;
    int macScriptTimeoutMs = 30000;
    int archiveExtractTimeoutMs = 30000;
    int imageExtractTimeoutMs = 2400000;
    int printTimeoutMs = 30000;
    int flashScriptTimeoutMs = 0; // none: a flash may take as long as it takes
    int processStopGraceMs = 1000; // terminate, then kill after this

    static const StationTimings& current();
    static void setForTesting(const StationTimings& timings);
};
