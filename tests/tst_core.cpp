#include "asyncprocess.h"
#include "datarows.h"
#include "fileutils.h"
#include "jobchain.h"
#include "powercontrol.h"
#include "processrunner.h"
#include "testmain.h"
#include "teststation.h"

#include <QtConcurrent>

using namespace teststation;

namespace {
QString verdict(const ProcessResult& r)
{
    return QString("%1 %2, code %3").arg(r.succeeded() ? "ok" : "failed", r.outcome()).arg(r.exitCode);
}
// "sh -c command" in dir, or the program itself when the command is a path
ProcessRequest request(const QString& dir, const QString& command, int timeoutMs = 0)
{
    const bool direct = command.startsWith('/');
    const QStringList args = direct ? QStringList() : QStringList{"-c", command};
    return {direct ? command : "sh", args, dir, timeoutMs, false, false, {}, makeCancelToken()};
}
const QString sleeper = ": > started; exec sleep 30",
              cancelled = "failed was stopped because its run was cancelled, code ",
              notStarted = "failed failed to start: not started: the ";
} // namespace

class TestCore : public QObject
{
    Q_OBJECT
private slots:
    void timingDefaults()
    {
        const StationTimings t;
        QCOMPARE((QList<int>{t.microcontrollerWaitMs, t.progressTickMs, t.flashPauseMs, t.scriptTimeoutMs,
                             t.printTimeoutMs, t.processStopGraceMs}),
                 (QList<int>{63000, 1000, 200, 240000, 30000, 1000}));
    }

    // event: the relay script's fake exit, or what happens to the window that asked; runs: R the relay
    // script, ~ the station folder; gaps: "+" where 500 ms lie between two runs
    void power_data()
    {
        addColumns({"system", "operation", "event", "runs", "gaps", "log"});
        const QString failed = "Power ON failed (5)|Power ON failed (8)",
                      stopped = "Power %1 stopped: its job was replaced";
        const QString on = "R 5 ON|R 8 ON", off = "R 5 OFF|R 8 OFF", script = "~/bin/powerNimbrel.sh ";
        // clang-format off
        addRows({{"cycle, relay", "false", "cycle", "", off + "|" + on, "-++", ""},
                 {"cycle, power script", "true", "cycle", "", script + "0|" + script + "90", "+", ""},
                 {"on, relays fail", "false", "on", "exit:1", on, "", failed},
                 {"on, relays past their limit", "false", "on", "exit:hang", "", "", failed},
                 {"off, retired before", "false", "off", "before", "", "", stopped.arg("OFF")},
                 {"on, retired in the gap", "false", "on", "wait", "R 5 ON", "", stopped.arg("ON")},
                 {"on, deleted in the gap", "false", "on", "delete", "R 5 ON", "", stopped.arg("ON")},
                 {"cycle, retired in the gap", "false", "cycle", "wait", off, "", stopped.arg("cycle")}});
        // clang-format on
    }
    void power()
    {
        TestEnvironment env;
        StationTimings timings;
        timings.scriptTimeoutMs = 1500;
        StationTimings::setForTesting(timings);
        Settings::setValue("NimbrelSystem", cell("system") == "true");
        const QString event = cell("event"), operation = cell("operation");
        TestEnvironment::setScriptExit("RELAY", event.startsWith("exit:") ? event.mid(5) : "0");
        QPointer<QObject> window = new QObject;
        if (event == "before")
            JobChain::retire(window);
        if (event == "wait" || event == "delete") // in the first wait, as the scripts themselves block
            QTimer::singleShot(0, [=] { event == "wait" ? JobChain::retire(window) : delete window.data(); });
        LogCapture log;
        const auto operate = operation == "on"    ? &PowerControl::powerOn
                             : operation == "off" ? &PowerControl::powerOff
                                                  : &PowerControl::powerCycle;
        (PowerControl().*operate)(window);
        delete window.data();

        const QList<QJsonObject> runs = env.scriptRuns();
        QStringList lines;
        for (const QJsonObject& run : runs) { // a relative relay script runs from the station folder only
            QString program = run.value("program").toString().replace(Settings::RealyModuleCLIScript(), "R");
            lines << (QStringList{program.replace(env.stationDir(), "~")} + argsOf(run)).join(' ');
        }
        QCOMPARE(lines.join('|'), cell("runs"));
        for (int i = 0; i < cell("gaps").size(); ++i) { // by the scripts' own clocks
            const double gap = runs.at(i + 1).value("start").toDouble() - runs.at(i).value("end").toDouble();
            QVERIFY2(cell("gaps").at(i) != '+' || gap >= 0.49, qPrintable(QString::number(gap)));
        }
        QCOMPARE(log.lines().filter(QRegularExpression("^Power ")).join('|'), cell("log"));
    }

    // Rows without a cancel run as an AsyncProcess too, with the same verdict.
    void runnerVerdicts_data()
    {
        addColumns({"command", "timeoutMs", "cancel", "verdict"});
        // clang-format off
        addRows({{"exit 0, stderr written", "echo e >&2", "9000", "", "ok exited with code 0, code 0"},
                 {"exit code 3", "exit 3", "9000", "", "failed exited with code 3, code 3"},
                 {"killed by a signal", "kill -SEGV $$", "9000", "", "failed crashed (signal 11), code 11"},
                 {"program missing", "/nonexistent/program", "9000", "",
                  "failed failed to start: execvp: No such file or directory, code -1"},
                 {"past its limit", sleeper, "300", "",
                  "failed did not finish within its limit and was killed, code 9"},
                 {"cancelled before the start", sleeper, "0", "before", notStarted + "run was cancelled, code -1"},
                 {"cancelled: terminated", sleeper, "0", "during", cancelled + "15"},
                 {"cancelled, ignores terminate: killed", "trap '' TERM; " + sleeper, "0", "during",
                  cancelled + "9"}});
        // clang-format on
    }
    void runnerVerdicts()
    {
        QTemporaryDir dir;
        const QString cancel = cell("cancel");
        const ProcessRequest run = request(dir.path(), cell("command"), cell("timeoutMs").toInt());
        run.cancel->store(cancel == "before");
        QFuture<ProcessResult> result = QtConcurrent::run([run] { return ProcessRunner::run(run); });
        if (cancel == "during") {
            QTRY_VERIFY(QFile::exists(dir.path() + "/started"));
            run.cancel->store(true);
        }
        QCOMPARE(verdict(result.result()), cell("verdict"));
        if (!cancel.isEmpty())
            return;
        AsyncProcess process;
        QSignalSpy finished(&process, &AsyncProcess::finished);
        process.start(run);
        QVERIFY(finished.wait(15000));
        QTest::qWait(50);
        QCOMPARE(finished.count(), 1); // once, also when an error and the end both arrive
        QCOMPARE(verdict(finished.first().first().value<ProcessResult>()), cell("verdict"));
    }

    // path: in the sandbox, where each folder setting lies at kN/dir/ and nothing else lies in kN;
    // reason: why it is refused, empty when it goes
    void removeDir_data()
    {
        addColumns({"path", "reason"});
        // clang-format off
        addRows({{"empty", "", "an empty path"}, {"root folder", "/", "the root folder"},
                 {"home folder", "home", "the home folder"}, {"working directory", "station", "working dir"},
                 {"above the working directory", ".", "working directory"},
                 {"DeviceConfigPath", "k0/dir", "DeviceConfigPath"}, {"above it", "k0", "DeviceConfigPath"},
                 {"ImagePath", "k1/dir", "ImagePath"}, {"LogPath", "k2/dir/", "LogPath"},
                 {"above TestLogPath", "k3", "TestLogPath"}, {"FlashScriptPath", "k4/dir", "FlashScriptPath"},
                 {"through ..", "k0/../k1/dir/x/..", "ImagePath"}, {"through a link", "link", "LogPath"},
                 {"through a link above", "linkabove", "TestLogPath"}, {"tree with links", "tree", ""}});
        // clang-format on
    }
    void removeDir()
    {
        TestEnvironment env;
        const QStringList keys{"DeviceConfigPath", "ImagePath", "LogPath", "TestLogPath", "FlashScriptPath"};
        QStringList markers{env.path("home/keep"), env.stationDir() + "/printlabel.sh"};
        for (int i = 0; i < keys.size(); ++i) {
            Settings::setValue(keys.at(i), env.path(QString("k%1/dir/").arg(i)));
            markers << env.path(QString("k%1/dir/x/keep").arg(i));
        }
        for (const QString& file : markers.mid(2) + QStringList{markers.first(), env.path("tree/a/b/.c")})
            writeFile(file, "x");
        QVERIFY(QFile::link(env.path("k2/dir"), env.path("link")) &&
                QFile::link(env.path("k3"), env.path("linkabove")));
        QVERIFY(QFile::link(env.path("k0/dir/x"), env.path("tree/a/dirlink")) &&
                QFile::link(env.path("home/keep"), env.path("tree/filelink")));
        const QString path = cell("path"), target = path.isEmpty() || path == "/" ? path : env.path(path);
        const QString why = FileUtils::removalRefusal(target), reason = cell("reason");
        QVERIFY2(reason.isEmpty() ? why.isEmpty() : why.contains(reason), qPrintable(why));
        if (path == "/")
            return; // never tried for real
        QCOMPARE(FileUtils::removeDir(target), reason.isEmpty());
        QVERIFY(!reason.isEmpty() || !QFileInfo::exists(target));
        for (const QString& marker : markers) // nothing removed outside, no link followed
            QVERIFY2(QFileInfo::exists(marker), qPrintable(marker));
        QVERIFY(FileUtils::isSafeFileName("..a") && !FileUtils::isSafeFileName(".."));
    }

    // Last: once the station quits, no child starts again in this process.
    void stopAllEndsEveryChild()
    {
        QTemporaryDir dir;
        const ProcessRequest blocking = request(dir.path(), sleeper);
        QFuture<ProcessResult> run = QtConcurrent::run([blocking] { return ProcessRunner::run(blocking); });
        AsyncProcess stubborn;
        QSignalSpy reported(&stubborn, &AsyncProcess::finished);
        stubborn.start(request(dir.path(), "trap '' TERM; : > stubborn; exec sleep 30"));
        QTRY_VERIFY(QFile::exists(dir.path() + "/started") && QFile::exists(dir.path() + "/stubborn"));
        ProcessRunner::stopAll();
        QVERIFY(!stubborn.isRunning()); // it ignores terminate: killed after the grace
        QCOMPARE(verdict(run.result()), cancelled + "15");
        QCOMPARE(verdict(ProcessRunner::run(blocking)), notStarted + "run was cancelled, code -1");
        QCOMPARE(reported.count(), 0); // nobody is left to tell
        stubborn.start(blocking);
        QVERIFY(reported.wait(5000));
        QCOMPARE(verdict(reported.first().first().value<ProcessResult>()),
                 notStarted + "station quits, code -1");
    }
};

NIMBREL_TEST_MAIN(TestCore)
#include "tst_core.moc"
