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
QString verdict(const ProcessResult& result)
{
    return QString("%1 %2, code %3")
        .arg(result.succeeded() ? "ok" : "failed", result.outcome())
        .arg(result.exitCode);
}

void setTimings(int scriptTimeoutMs, int graceMs)
{
    StationTimings timings;
    timings.scriptTimeoutMs = scriptTimeoutMs;
    timings.processStopGraceMs = graceMs;
    StationTimings::setForTesting(timings);
}

void power(const QString& operation, const QObject* requester = nullptr)
{
    PowerControl control;
    operation == "on"    ? control.powerOn(requester)
    : operation == "off" ? control.powerOff(requester)
                         : control.powerCycle(requester);
}

// A relay script that notes each run and fails for the relay named in RELAY_FAIL ("hang": every run hangs).
const char* const relayScript =
    "import os, sys, time\nrelay, state = sys.argv[1:3]\n"
    "open(sys.argv[0] + '.log', 'a').write(relay + ' ' + state + '\\n')\n"
    "sys.stderr.write('relay %s stuck\\n' % relay)\nfail = os.environ['RELAY_FAIL']\n"
    "time.sleep(30 if fail == 'hang' else 0)\nsys.exit(1 if relay == fail else 0)\n";
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

    // runs: "program args" in order, "~" the station folder; gaps: "+" where 500 ms lie between two runs
    void powerCommandLines_data()
    {
        addColumns({"system", "operation", "runs", "gaps"});
        const QString relay = "testsoftware_gegenspieler/Realy_Module_CLI.py ",
                      script = "~/bin/powerNimbrel.sh ";
        // clang-format off
        addRows({{"on, relay", "false", "on", relay + "5 ON|" + relay + "8 ON", "+"},
                 {"off, relay", "false", "off", relay + "5 OFF|" + relay + "8 OFF", "-"},
                 {"cycle, relay", "false", "cycle", relay + "5 OFF|" + relay + "8 OFF|" + relay + "5 ON|" + relay +
                  "8 ON", "-++"},
                 {"on, power script", "true", "on", script + "90", ""},
                 {"off, power script", "true", "off", script + "0", ""},
                 {"cycle, power script", "true", "cycle", script + "0|" + script + "90", "+"}});
        // clang-format on
    }
    void powerCommandLines()
    {
        TestEnvironment env;
        Settings::setValue("NimbrelSystem", cell("system") == "true");
        power(cell("operation"));
        QStringList lines;
        const QList<QJsonObject> runs = env.scriptRuns();
        for (const QJsonObject& run : runs) {
            lines << (QStringList{run.value("program").toString().replace(env.stationDir(), "~")} +
                      argsOf(run))
                         .join(' ');
            QCOMPARE(run.value("cwd").toString(), env.stationDir());
        }
        QCOMPARE(lines.join('|'), cell("runs"));
        for (int i = 0; i < cell("gaps").size(); ++i) { // by the scripts' own clocks
            const double gap = runs.at(i + 1).value("start").toDouble() - runs.at(i).value("end").toDouble();
            QVERIFY2(cell("gaps").at(i) != '+' || gap >= 0.49, qPrintable(QString::number(gap)));
        }
    }

    // A failed relay is logged and the other is still switched; standard error only of a failure.
    void relayFailures_data()
    {
        addColumns({"operation", "fail", "runs", "log"});
        const QString exit = "Script finished ExitStatus NormalExit exit Code ";
        // clang-format off
        addRows({{"on, relay 5 fails", "on", "5", "5 ON|8 ON", exit + "1|relay 5 stuck|Power ON failed (5)|" + exit + "0"},
                 {"on, relay 8 fails", "on", "8", "5 ON|8 ON", exit + "0|" + exit + "1|relay 8 stuck|Power ON failed (8)"},
                 {"off, relay 5 fails", "off", "5", "5 OFF|8 OFF", exit + "1|relay 5 stuck|Power OFF failed (5)|" + exit + "0"},
                 {"on, both past their limit", "on", "hang", "5 ON|8 ON",
                  "Script finished ExitStatus CrashExit exit Code 9|relay 5 stuck|Power ON failed (5)|"
                  "Script finished ExitStatus CrashExit exit Code 9|relay 8 stuck|Power ON failed (8)"}});
        // clang-format on
    }
    void relayFailures()
    {
        TestEnvironment env;
        setTimings(1000, 1000);
        const QString script = env.path("relay.py");
        writeFile(script, relayScript);
        Settings::setValue("RealyModuleCLIScript", script);
        qputenv("RELAY_FAIL", cell("fail").toLatin1());
        LogCapture log;
        power(cell("operation"));
        QCOMPARE(QString::fromUtf8(readFile(script + ".log")).trimmed().replace('\n', '|'), cell("runs"));
        QStringList lines;
        for (const QString& line : log.lines()) {
            if (line.contains(QRegularExpression("failed \\(|stuck|^Script finished")))
                lines << line.trimmed();
        }
        QCOMPARE(lines.join('|'), cell("log"));
        QCOMPARE(log.lines().value(0), QStringLiteral("execute Script"));
        QCOMPARE(log.lines().value(1), QString("\"%1\" \"%2\" (\"5\", \"%3\")")
                                           .arg(Settings::Python(), script, cell("operation").toUpper()));
    }

    // A window that asked for the switch and is retired (or gone) meanwhile gets no further step.
    void retiredRequester_data()
    {
        addColumns({"operation", "when", "runs"});
        addRows({{"on, retired before", "on", "before", ""},
                 {"off, retired before", "off", "before", ""},
                 {"on, retired in the relay gap", "on", "wait", "5|ON"},
                 {"on, deleted in the relay gap", "on", "delete", "5|ON"},
                 {"cycle, retired between off and on", "cycle", "wait", "5|OFF 8|OFF"}});
    }
    void retiredRequester()
    {
        TestEnvironment env;
        LogCapture log;
        QPointer<QObject> window = new QObject;
        const QString when = cell("when");
        if (when == "before")
            JobChain::retire(window);
        QTimer::singleShot(
            0, [window, when] { when == "delete" ? delete window.data() : JobChain::retire(window); });
        power(cell("operation"), window);
        QCOMPARE(roleArgs(env, "RELAY").join(' '), cell("runs"));
        QVERIFY(log.contains("stopped: its job was replaced"));
        delete window.data();
    }

    // Rows without a cancel run as an AsyncProcess too, with the same verdict.
    void runnerVerdicts_data()
    {
        addColumns({"command", "timeoutMs", "cancel", "verdict"});
        const QString sleeper = ": > started; exec sleep 30", cancelled =
                                                                  "failed was stopped because its run was "
                                                                  "cancelled, code ";
        // clang-format off
        addRows({{"exit 0 with standard error", "echo err >&2; exit 0", "10000", "", "ok exited with code 0, code 0"},
                 {"exit code 3", "exit 3", "10000", "", "failed exited with code 3, code 3"},
                 {"killed by a signal", "kill -SEGV $$", "10000", "", "failed crashed (signal 11), code 11"},
                 {"program missing", "/nonexistent/program", "10000", "",
                  "failed failed to start: execvp: No such file or directory, code -1"},
                 {"past its limit", sleeper, "300", "", "failed did not finish within its limit and was killed, code 9"},
                 {"cancelled before the start", sleeper, "0", "before",
                  "failed failed to start: not started: the run was cancelled, code -1"},
                 {"cancelled: terminated", sleeper, "0", "during", cancelled + "15"},
                 {"cancelled, ignores terminate: killed", "trap '' TERM; " + sleeper, "0", "during", cancelled + "9"}});
        // clang-format on
    }
    void runnerVerdicts()
    {
        QTemporaryDir dir;
        setTimings(240000, 300);
        const QString command = cell("command"), cancel = cell("cancel");
        const bool direct = command.startsWith('/');
        ProcessRequest request{direct ? command : "sh",
                               direct ? QStringList() : QStringList{"-c", command},
                               dir.path(),
                               cell("timeoutMs").toInt(),
                               false,
                               false,
                               {},
                               makeCancelToken()};
        request.cancel->store(cancel == "before");
        QFuture<ProcessResult> run = QtConcurrent::run([request] { return ProcessRunner::run(request); });
        if (cancel == "during") {
            QTRY_VERIFY(QFile::exists(dir.path() + "/started"));
            request.cancel->store(true);
        }
        QCOMPARE(verdict(run.result()), cell("verdict"));
        if (!cancel.isEmpty())
            return;
        AsyncProcess process;
        QSignalSpy finished(&process, &AsyncProcess::finished);
        process.start(request);
        QVERIFY(finished.wait(15000));
        QTest::qWait(50);
        QCOMPARE(finished.count(), 1); // once, also when an error and the end both arrive
        QCOMPARE(verdict(finished.first().first().value<ProcessResult>()), cell("verdict"));
    }

    // path: in the sandbox, where each folder setting lies at kN/dir/ and nothing else lies in kN
    void removeDirRefuses_data()
    {
        addColumns({"path", "reason"});
        // clang-format off
        addRows({{"empty", "", "an empty path"}, {"root folder", "/", "the root folder"},
                 {"home folder", "home", "the home folder"}, {"working directory", "station", "working directory"},
                 {"above the working directory", ".", "working directory"},
                 {"DeviceConfigPath", "k0/dir", "DeviceConfigPath"}, {"above DeviceConfigPath", "k0", "DeviceConfigPath"},
                 {"ImagePath", "k1/dir", "ImagePath"}, {"above ImagePath", "k1", "ImagePath"},
                 {"LogPath", "k2/dir/", "LogPath"}, {"above LogPath", "k2", "LogPath"},
                 {"TestLogPath", "k3/dir", "TestLogPath"}, {"above TestLogPath", "k3", "TestLogPath"},
                 {"FlashScriptPath", "k4/dir", "FlashScriptPath"}, {"above FlashScriptPath", "k4", "FlashScriptPath"},
                 {"through ..", "k0/../k1/dir/x/..", "ImagePath"}, {"through a link", "link", "LogPath"},
                 {"through a link above", "linkabove", "TestLogPath"}});
        // clang-format on
    }
    void removeDirRefuses()
    {
        TestEnvironment env;
        const QStringList keys{"DeviceConfigPath", "ImagePath", "LogPath", "TestLogPath", "FlashScriptPath"};
        QStringList markers{env.path("home/keep")};
        for (int i = 0; i < keys.size(); ++i) {
            Settings::setValue(keys.at(i), env.path(QString("k%1/dir/").arg(i)));
            markers << env.path(QString("k%1/dir/x/keep").arg(i));
        }
        for (const QString& marker : markers)
            writeFile(marker, "x");
        markers << env.stationDir() + "/printlabel.sh";
        QVERIFY(QFile::link(env.path("k2/dir"), env.path("link")) &&
                QFile::link(env.path("k3"), env.path("linkabove")));
        const QString path = cell("path"), target = path.isEmpty() || path == "/" ? path : env.path(path);
        LogCapture log;
        QVERIFY2(FileUtils::removalRefusal(target).contains(cell("reason")),
                 qPrintable(FileUtils::removalRefusal(target)));
        if (path == "/")
            return; // never tried for real
        QVERIFY(!FileUtils::removeDir(target));
        QVERIFY(log.contains("removeDir: refusing to remove"));
        for (const QString& marker : markers)
            QVERIFY2(QFileInfo::exists(marker), qPrintable(marker));
    }

    void removeDirRemovesATreeButNoLinkTarget()
    {
        TestEnvironment env;
        const QString tree = env.path("configs/extract"), outside = env.path("outside"),
                      link = env.path("configs/l");
        writeFile(tree + "/a/.hidden", "x");
        writeFile(tree + "/a/b/c.txt", "x");
        writeFile(outside + "/keep.txt", "x");
        QVERIFY(QFile::link(outside, tree + "/a/dirlink") &&
                QFile::link(outside + "/keep.txt", tree + "/filelink"));
        QVERIFY(QFile::link(outside, link));
        QVERIFY(FileUtils::removeDir(tree) && FileUtils::removeDir(link) &&
                FileUtils::removeDir(tree + "/gone"));
        QVERIFY(!QFileInfo::exists(tree) && !QFileInfo(link).isSymLink());
        QVERIFY(QFileInfo::exists(outside + "/keep.txt"));
    }

    // Last: once the station quits, no child starts again in this process.
    void stopAllEndsEveryChild()
    {
        QTemporaryDir dir;
        setTimings(240000, 300);
        const ProcessRequest blocking{
            "sh", {"-c", ": > started; exec sleep 30"}, dir.path(), 0, false, false, {}, {}};
        QFuture<ProcessResult> run = QtConcurrent::run([blocking] { return ProcessRunner::run(blocking); });
        AsyncProcess stubborn;
        QSignalSpy reported(&stubborn, &AsyncProcess::finished);
        stubborn.start(
            {"sh", {"-c", "trap '' TERM; : > stubborn; exec sleep 30"}, dir.path(), 0, false, false, {}, {}});
        QTRY_VERIFY(QFile::exists(dir.path() + "/started") && QFile::exists(dir.path() + "/stubborn"));
        ProcessRunner::stopAll();
        QVERIFY(!stubborn.isRunning()); // it ignores terminate: killed after the grace
        QCOMPARE(verdict(run.result()),
                 QStringLiteral("failed was stopped because its run was cancelled, code 15"));
        QCOMPARE(verdict(ProcessRunner::run(blocking)),
                 QStringLiteral("failed failed to start: not started: the run was cancelled, code -1"));
        AsyncProcess late;
        QSignalSpy lateFinished(&late, &AsyncProcess::finished);
        late.start(blocking);
        QVERIFY(lateFinished.wait(5000));
        QCOMPARE(verdict(lateFinished.first().first().value<ProcessResult>()),
                 QStringLiteral("failed failed to start: not started: the station quits, code -1"));
        QCOMPARE(reported.count(), 0);
    }
};

NIMBREL_TEST_MAIN(TestCore)
#include "tst_core.moc"
