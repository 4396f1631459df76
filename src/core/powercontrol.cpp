#include "powercontrol.h"

#include "jobchain.h"
#include "processrunner.h"
#include "settings.h"
#include "stationtimings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QEventLoop>
#include <QTimer>

namespace {
const int relayGapMs = 500; // between relay 5 and relay 8 when switching on
const int cycleGapMs = 500; // between off and on in a power cycle
const char* const powerScript = "powerNimbrel.sh";
int waitDepth = 0; // GUI thread only

// True when the window that asked for the switch no longer owns the device.
bool abandoned(const QPointer<const QObject>& requester, bool hadRequester, const char* what)
{
    if (!hadRequester || (requester && !JobChain::isRetired(requester)))
        return false;
    qDebug().noquote() << QStringLiteral("Power %1 stopped: its job was replaced").arg(QLatin1String(what));
    return true;
}
} // namespace

bool PowerControl::executeScript(const QString& scriptPath, const QStringList& arguments)
{
    return executeScript(scriptPath, arguments, StationTimings::current().scriptTimeoutMs);
}

bool PowerControl::executeScript(const QString& scriptPath, const QStringList& arguments, int timeoutMs)
{
    qDebug() << "execute Script";
    qDebug() << Settings::Python() << scriptPath << arguments;
    return runPythonScript(scriptPath, arguments, timeoutMs);
}

bool PowerControl::runPythonScript(const QString& scriptPath, const QStringList& arguments, int timeoutMs,
                                   const CancelToken& cancel)
{
    ProcessRequest request;
    request.program = Settings::Python();
    request.arguments = QStringList{scriptPath} + arguments;
    request.timeoutMs = timeoutMs;
    request.cancel = cancel;
    const ProcessResult result = ProcessRunner::run(request);

    qDebug().noquote() << ProcessResult::textUpToNul(result.standardOutput);
    qDebug().noquote() << "Script finished ExitStatus " + ProcessResult::exitStatusName(result.exitStatus) +
                              " exit Code " + QString::number(result.exitCode);
    if (!result.succeeded()) {
        qDebug().noquote() << "Script" << scriptPath << result.outcome();
        qDebug().noquote() << ProcessResult::textUpToNul(result.standardError);
    }
    return result.succeeded();
}

void PowerControl::runPowerScript(const QString& argument)
{
    ProcessRequest request;
    request.program = QString::fromLatin1(powerScript);
    request.arguments = QStringList{argument};
    request.timeoutMs = StationTimings::current().scriptTimeoutMs;
    const ProcessResult result = ProcessRunner::run(request);
    qDebug().noquote() << ProcessResult::textUpToNul(result.standardOutput);
    // The power script's verdict is not judged, but an operator's engineer needs to see
    // when it never ran or hung.
    if (!result.finished())
        qWarning().noquote() << powerScript << argument << result.outcome();
}

void PowerControl::switchRelay(const QString& relay, const QString& state)
{
    if (!executeScript(Settings::RealyModuleCLIScript(), QStringList{relay, state}))
        qDebug().noquote() << QStringLiteral("Power %1 failed (%2)").arg(state, relay);
}

void PowerControl::powerOn(const QObject* requester)
{
    const QPointer<const QObject> guard(requester);
    if (abandoned(guard, requester, "ON"))
        return;
    if (Settings::NimbrelSystem()) {
        runPowerScript(QStringLiteral("90"));
        return;
    }
    switchRelay(QStringLiteral("5"), QStringLiteral("ON"));
    waitProcessingEvents(relayGapMs);
    if (abandoned(guard, requester, "ON")) // replaced during the gap
        return;
    switchRelay(QStringLiteral("8"), QStringLiteral("ON"));
}

void PowerControl::powerOff(const QObject* requester)
{
    if (abandoned(QPointer<const QObject>(requester), requester, "OFF"))
        return;
    if (Settings::NimbrelSystem()) {
        runPowerScript(QStringLiteral("0"));
        return;
    }
    switchRelay(QStringLiteral("5"), QStringLiteral("OFF"));
    switchRelay(QStringLiteral("8"), QStringLiteral("OFF"));
}

void PowerControl::powerCycle(const QObject* requester)
{
    const QPointer<const QObject> guard(requester);
    powerOff(requester);
    waitProcessingEvents(cycleGapMs);
    if (abandoned(guard, requester, "cycle"))
        return;
    powerOn(requester);
}

void PowerControl::waitProcessingEvents(int milliseconds)
{
    // A local loop sleeps until an event or the deadline instead of spinning; timers
    // are monotonic, so the wait never ends early when the clock of day jumps.
    QDeadlineTimer deadline(milliseconds, Qt::PreciseTimer);
    ++waitDepth;
    while (!deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(qMax<qint64>(1, deadline.remainingTime()), Qt::PreciseTimer, &loop,
                           &QEventLoop::quit);
        loop.exec();
    }
    --waitDepth;
}

bool PowerControl::isWaiting()
{
    return waitDepth > 0;
}
