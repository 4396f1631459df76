#pragma once

#include "processresult.h"

#include <QPointer>
#include <QString>
#include <QStringList>

// Switches the device's supply through the relay module or the power script.
// Stateless: callers create one on the stack per operation.
class PowerControl
{
public:
    PowerControl() = default;

    // Runs a Python script; true only if it started, finished in time and exited normally with code 0.
    bool executeScript(const QString& scriptPath, const QStringList& arguments);
    bool executeScript(const QString& scriptPath, const QStringList& arguments, int timeoutMs);

    // The run and its log lines, shared by every Python script of the station (thread-safe).
    static bool runPythonScript(const QString& scriptPath, const QStringList& arguments, int timeoutMs,
                                const CancelToken& cancel = {});

    // A window that switches the device names itself: once its job is retired (or the window
    // gone) while a step waits, the remaining steps are left out.
    void powerOn(const QObject* requester = nullptr);
    void powerOff(const QObject* requester = nullptr);
    void powerCycle(const QObject* requester = nullptr);

    // Lets the event loop run for the given time, measured on a monotonic clock.
    static void waitProcessingEvents(int milliseconds);
    // True while such a wait runs somewhere up the stack: windows must not be deleted then,
    // since the code that waits would run on in a deleted object.
    static bool isWaiting();

private:
    void runPowerScript(const QString& argument);
    void switchRelay(const QString& relay, const QString& state);
};
