#include "logcapture.h"
#include "powercontrol.h"
#include "settings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QJsonArray>

class TestPowerControl : public QObject
{
    Q_OBJECT
private slots:
    void commandLines_data();
    void commandLines();
    void relayGapOnPowerOn();
    void failedRelayIsLoggedAndTheOtherStillSwitched();
    void scriptVerdictAndLog_data();
    void scriptVerdictAndLog();
    void scriptPastItsLimitFails();
    void powerScriptThatCannotStartIsLogged();
    void waitKeepsServingEvents();

private:
    static QStringList commandLine(const QJsonObject& run)
    {
        QStringList line{QFileInfo(run.value("program").toString()).fileName()};
        for (const QJsonValue& arg : run.value("args").toArray())
            line << arg.toString();
        return line;
    }
};

void TestPowerControl::commandLines_data()
{
    QTest::addColumn<bool>("powerScript");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("expected"); // one "program args" per run, in order

    QTest::newRow("on, relay") << false << "on"
                               << QStringList{"Realy_Module_CLI.py 5 ON", "Realy_Module_CLI.py 8 ON"};
    QTest::newRow("off, relay") << false << "off"
                                << QStringList{"Realy_Module_CLI.py 5 OFF", "Realy_Module_CLI.py 8 OFF"};
    QTest::newRow("cycle, relay") << false << "cycle"
                                  << QStringList{"Realy_Module_CLI.py 5 OFF", "Realy_Module_CLI.py 8 OFF",
                                                 "Realy_Module_CLI.py 5 ON", "Realy_Module_CLI.py 8 ON"};
    QTest::newRow("on, power script") << true << "on" << QStringList{"powerNimbrel.sh 90"};
    QTest::newRow("off, power script") << true << "off" << QStringList{"powerNimbrel.sh 0"};
    QTest::newRow("cycle, power script")
        << true << "cycle" << QStringList{"powerNimbrel.sh 0", "powerNimbrel.sh 90"};
}

void TestPowerControl::commandLines()
{
    QFETCH(bool, powerScript);
    QFETCH(QString, operation);
    QFETCH(QStringList, expected);

    TestEnvironment env;
    if (powerScript)
        Settings::setValue(QStringLiteral("NimbrelSystem"), true);
    PowerControl power;
    if (operation == QLatin1String("on"))
        power.powerOn();
    else if (operation == QLatin1String("off"))
        power.powerOff();
    else
        power.powerCycle();

    QStringList actual;
    for (const QJsonObject& run : env.scriptRuns()) {
        actual << commandLine(run).join(QLatin1Char(' '));
        QCOMPARE(run.value("cwd").toString(), env.stationDir());
        if (powerScript) // started by its bare name through PATH, not through Python
            QCOMPARE(run.value("program").toString(),
                     env.stationDir() + QStringLiteral("/bin/powerNimbrel.sh"));
        else
            QCOMPARE(run.value("program").toString(),
                     QStringLiteral("testsoftware_gegenspieler/Realy_Module_CLI.py"));
    }
    QCOMPARE(actual, expected);
    if (!powerScript) // NimbrelSystem was missing: written back as false
        QCOMPARE(Settings::value(QStringLiteral("NimbrelSystem")).toBool(), false);
}

void TestPowerControl::relayGapOnPowerOn()
{
    TestEnvironment env;
    PowerControl().powerOn();
    const auto runs = env.scriptRuns(QStringLiteral("RELAY"));
    QCOMPARE(runs.size(), 2);
    const double gap = runs.at(1).value("start").toDouble() - runs.at(0).value("end").toDouble();
    QVERIFY2(gap >= 0.49, qPrintable(QString::number(gap)));

    env.clearScriptRuns();
    PowerControl().powerOff();
    const auto offRuns = env.scriptRuns(QStringLiteral("RELAY"));
    QCOMPARE(offRuns.size(), 2);
    const double offGap = offRuns.at(1).value("start").toDouble() - offRuns.at(0).value("end").toDouble();
    QVERIFY2(offGap < 0.45, qPrintable(QString::number(offGap)));
}

void TestPowerControl::failedRelayIsLoggedAndTheOtherStillSwitched()
{
    TestEnvironment env;
    // a relay script that fails for relay 5 only
    const QString script = env.path(QStringLiteral("relay5fails.py"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        "import sys\nopen(sys.argv[0] + '.log', 'a').write(' '.join(sys.argv[1:]) + '\\n')\n"
        "sys.stderr.write('relay ' + sys.argv[1] + ' stuck\\n')\nsys.exit(1 if sys.argv[1] == '5' else 0)\n");
    file.close();
    Settings::setValue(QStringLiteral("RealyModuleCLIScript"), script);

    LogCapture log;
    PowerControl().powerOn();
    QFile record(script + QStringLiteral(".log"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(record.readAll(), QByteArray("5 ON\n8 ON\n"));
    QVERIFY(log.contains(QStringLiteral("Power ON failed (5)")));
    QVERIFY(!log.contains(QStringLiteral("Power ON failed (8)")));
    QVERIFY(log.contains(QStringLiteral("relay 5 stuck")));  // stderr of the failed run
    QVERIFY(!log.contains(QStringLiteral("relay 8 stuck"))); // not logged on success

    log.clear();
    PowerControl().powerOff();
    QVERIFY(log.contains(QStringLiteral("Power OFF failed (5)")));
    QVERIFY(!log.contains(QStringLiteral("Power OFF failed (8)")));
}

void TestPowerControl::scriptVerdictAndLog_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QString>("finishedLine");

    QTest::newRow("exit 0, stderr written")
        << "import sys; print('hello'); sys.stderr.write('noise'); sys.exit(0)" << true
        << "Script finished ExitStatus NormalExit exit Code 0";
    QTest::newRow("exit 2") << "import sys; sys.stderr.write('broken'); sys.exit(2)" << false
                            << "Script finished ExitStatus NormalExit exit Code 2";
    QTest::newRow("crash") << "import os, signal; os.kill(os.getpid(), signal.SIGKILL)" << false
                           << "Script finished ExitStatus CrashExit exit Code 9";
}

void TestPowerControl::scriptVerdictAndLog()
{
    QFETCH(QString, body);
    QFETCH(bool, succeeded);
    QFETCH(QString, finishedLine);

    TestEnvironment env;
    const QString script = env.path(QStringLiteral("script.py"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(body.toUtf8());
    file.close();

    LogCapture log;
    QCOMPARE(PowerControl().executeScript(script, {QStringLiteral("a"), QString()}), succeeded);
    QCOMPARE(log.lines().value(0), QStringLiteral("execute Script"));
    QCOMPARE(log.lines().value(1),
             QStringLiteral("\"%1\" \"%2\" (\"a\", \"\")").arg(Settings::Python(), script));
    QVERIFY(log.contains(finishedLine));
    QCOMPARE(log.contains(QStringLiteral("noise")), false);
    if (!succeeded && body.contains(QStringLiteral("broken")))
        QVERIFY(log.contains(QStringLiteral("broken")));
}

void TestPowerControl::scriptPastItsLimitFails()
{
    TestEnvironment env;
    TestEnvironment::setScriptExit(QStringLiteral("RELAY"), QStringLiteral("hang"));
    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!PowerControl().executeScript(Settings::RealyModuleCLIScript(), {"5", "ON"}, 500));
    QVERIFY(clock.elapsed() < 10000);
    QVERIFY(log.contains(QStringLiteral("did not finish within its limit")));

    QVERIFY(!PowerControl().executeScript(QStringLiteral("/nonexistent/script.py"), {}, 5000));
    Settings::setValue(QStringLiteral("Python"), QStringLiteral("/nonexistent/python"));
    log.clear();
    QVERIFY(!PowerControl().executeScript(Settings::RealyModuleCLIScript(), {"5", "ON"}, 5000));
    QVERIFY(log.contains(QStringLiteral("failed to start")));
}

void TestPowerControl::powerScriptThatCannotStartIsLogged()
{
    TestEnvironment env;
    Settings::setValue(QStringLiteral("NimbrelSystem"), true);
    QFile::remove(env.stationDir() + QStringLiteral("/bin/powerNimbrel.sh"));
    qputenv("PATH", (env.stationDir() + QStringLiteral("/bin")).toLocal8Bit());
    LogCapture log;
    PowerControl().powerOn(); // returns; the operator's workflow goes on
    QVERIFY(log.contains(QStringLiteral("powerNimbrel.sh 90 failed to start")));
}

void TestPowerControl::waitKeepsServingEvents()
{
    bool served = false;
    QTimer::singleShot(50, [&served] { served = true; });
    QElapsedTimer clock;
    clock.start();
    PowerControl::waitProcessingEvents(300);
    QVERIFY(served);
    QVERIFY(clock.elapsed() >= 300);
}

NIMBREL_TEST_MAIN(TestPowerControl)
#include "tst_powercontrol.moc"
