#include "datarows.h"
#include "testmain.h"
#include "teststation.h"

using namespace teststation;

class TestTestSoftware : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShownForTesting(); }
    void cleanup()
    {
        qunsetenv("NIMBREL_FAKE_MAC_ETH1");
        QThreadPool::globalInstance()->waitForDone();
    }

    void windowAsOpened()
    {
        Station station;
        QVERIFY(station.start());
        TestSoftware& window = station.open();
        QCOMPARE(child<QLabel>(window, "lblSeriennummerTarvelin")->text(), station.session.serialNumber());
        QVERIFY(fiveButtonsEnabled(window, true));
        QVERIFY(button(window, "btnOpenPrintDialog")->isEnabled());
        QVERIFY(logText(window).isEmpty());
    }

    void executeScriptVerdictAndLog_data()
    {
        QTest::addColumn<QString>("exit");
        QTest::addColumn<bool>("passed");
        QTest::addColumn<QString>("finishedLine");
        QTest::newRow("exit 0") << "0" << true << "Script finished ExitStatus NormalExit exit Code 0";
        QTest::newRow("exit 4") << "4" << false << "Script finished ExitStatus NormalExit exit Code 4";
        QTest::newRow("crash") << "crash" << false << "Script finished ExitStatus CrashExit exit Code 9";
        QTest::newRow("hang") << "hang" << false << "Script finished ExitStatus CrashExit exit Code 9";
    }

    void executeScriptVerdictAndLog()
    {
        QFETCH(QString, exit);
        QFETCH(bool, passed);
        QFETCH(QString, finishedLine);
        TestEnvironment env;
        StationTimings timings;
        timings.scriptTimeoutMs = 1000;
        StationTimings::setForTesting(timings);
        TestEnvironment::setScriptExit("ENDTESTSERVER", exit);
        LogCapture log;
        QCOMPARE(TestSoftware::executeScript(Settings::EndTestServerScript(), "G7654321"), passed);
        const int first = log.indexOf("execute Script");
        QVERIFY(first >= 0);
        QCOMPARE(log.lines().value(first + 1),
                 QStringLiteral("\"testsoftware_gegenspieler/end_Testserver.py\" \"G7654321\""));
        QVERIFY(log.contains(finishedLine));
    }

    void executeScriptThatCannotStartFails()
    {
        TestEnvironment env;
        Settings::setValue("Python", env.path("no-such-python"));
        QVERIFY(!TestSoftware::executeScript(Settings::TestScript(), "2400001"));
    }

    void chainRunsEveryScriptWithTheSerialNumber()
    {
        Station station;
        QVERIFY(station.start());
        TestSoftware& window = station.open();
        runChain(window);

        QCOMPARE(station.roleArgs("PING"), (QStringList{"-c|1|-w|10|192.168.2.251"}));
        QStringList order;
        double previousEnd = 0;
        for (const QString& role : testRoles) {
            const QList<QJsonObject> runs = station.env.scriptRuns(role);
            QCOMPARE(runs.size(), 1);
            QCOMPARE(argsOf(runs[0]), QStringList{station.session.serialNumber()});
            QVERIFY(runs[0].value("start").toDouble() >= previousEnd);
            previousEnd = runs[0].value("end").toDouble();
        }
        QCOMPARE(station.env.scriptRuns("TESTTASTER")[0].value("program").toString(),
                 Settings::TestScriptTestTaster());
        QCOMPARE(station.env.scriptRuns("RESETTASTER")[0].value("program").toString(),
                 Settings::TestScriptResetTaster());
        QCOMPARE(station.env.scriptRuns("INTERFACES")[0].value("program").toString(), Settings::TestScript());
        QCOMPARE(logText(window), QStringLiteral("* Bitte Test Taster drücken!\n* Test Taster ok\n"
                                                 "* Bitte Reset Taster drücken!\n* Reset Taster ok\n"
                                                 "* Schnittstellen Test ok\n"));
        for (const char* box : {"cbTestTaster", "cbResetTaster", "cbInterfaces"})
            QVERIFY(child<QCheckBox>(window, box)->isChecked());
        QCOMPARE(station.sim.requests("/api/v1/assignMacAddresses").size(), 1);
        QVERIFY(button(window, "btnOpenPrintDialog")->isEnabled());
        QVERIFY(fiveButtonsEnabled(window, true));
        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    }

    void failingTestEndsTheChain_data()
    {
        addColumns({"failing", "exit", "warning", "log"});
        const QString testButton = "Der Test für den Test Taster ist fehlgeschlagen!";
        const QString resetButton = "Der Test für den Reset Taster ist fehlgeschlagen!";
        const QString testOk = "* Bitte Test Taster drücken!\n* Test Taster ok\n";
        const QString testFailed = "* Bitte Test Taster drücken!\n* Test Taster fehlgeschlagen\n";
        const QString resetOk = testOk + "* Bitte Reset Taster drücken!\n* Reset Taster ok\n";
        const QString resetFailed = testOk + "* Bitte Reset Taster drücken!\n* Reset Taster fehlgeschlagen\n";
        addRows({{"test button", "TESTTASTER", "1", testButton, testFailed},
                 {"reset button", "RESETTASTER", "1", resetButton, resetFailed},
                 {"interfaces", "INTERFACES", "1", "Der Test für Intefaces ist fehlgeschlagen!",
                  resetOk + "* Schnittstellen Test nok\n"},
                 {"test button crashes", "TESTTASTER", "crash", testButton, testFailed},
                 {"reset button hangs", "RESETTASTER", "hang", resetButton, resetFailed}});
    }

    void failingTestEndsTheChain()
    {
        QFETCH(QString, failing);
        QFETCH(QString, exit);
        QFETCH(QString, warning);
        QFETCH(QString, log);
        Station station;
        QVERIFY(station.start());
        if (exit == QLatin1String("hang")) {
            StationTimings timings = StationTimings::current();
            timings.scriptTimeoutMs = 1000;
            StationTimings::setForTesting(timings);
        }
        TestEnvironment::setScriptExit(failing, exit);
        TestSoftware& window = station.open();
        runChain(window);

        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList{warning});
        QCOMPARE(logText(window), log);
        const int position = testRoles.indexOf(failing);
        for (int i = position + 1; i < testRoles.size(); ++i)
            QVERIFY2(station.env.scriptRuns(testRoles[i]).isEmpty(), qPrintable(testRoles[i]));
        QCOMPARE(child<QCheckBox>(window, "cbTestTaster")->isChecked(), position > 0);
        QCOMPARE(child<QCheckBox>(window, "cbResetTaster")->isChecked(), position > 1);
        QVERIFY(!child<QCheckBox>(window, "cbInterfaces")->isChecked());
        QVERIFY(fiveButtonsEnabled(window, true));
    }

    void buttonsStayDisabledWhileTheChainRuns()
    {
        Station station;
        QVERIFY(station.start());
        for (const QString& role : testRoles)
            TestEnvironment::setScriptDelay(role, 0.3);
        TestSoftware& window = station.open();

        int samples = 0;
        QStringList enabledWhileRunning;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, [&] {
            ++samples;
            for (const char* name : fiveButtons) {
                if (button(window, name)->isEnabled())
                    enabledWhileRunning << QLatin1String(name);
            }
            if (!button(window, "btnOpenPrintDialog")->isEnabled() ||
                !button(window, "btnCancel")->isEnabled())
                enabledWhileRunning << QStringLiteral("print or cancel disabled");
        });
        connect(child<QCheckBox>(window, "cbInterfaces"), &QCheckBox::toggled, &sampler, &QTimer::stop);
        click(window, "btnLEDOK");
        sampler.start(10);
        QVERIFY(fiveButtonsEnabled(window, false));
        QTRY_VERIFY_WITH_TIMEOUT(child<QCheckBox>(window, "cbInterfaces")->isChecked(), 30000);

        QVERIFY(samples > 10);
        QCOMPARE(enabledWhileRunning, QStringList());
        QVERIFY(fiveButtonsEnabled(window, true));
    }

    void singleTestRunsAlone_data()
    {
        addColumns({"buttonName", "role", "checkBox"});
        addRows({{"test button", "btnTestTasterTest", "TESTTASTER", "cbTestTaster"},
                 {"reset button", "btnTestTasterReset", "RESETTASTER", "cbResetTaster"},
                 {"interfaces", "btnStartTests", "INTERFACES", "cbInterfaces"}});
    }

    void singleTestRunsAlone()
    {
        QFETCH(QString, buttonName);
        QFETCH(QString, role);
        QFETCH(QString, checkBox);
        Station station;
        QVERIFY(station.start());
        TestSoftware& window = station.open();
        click(window, qPrintable(buttonName));
        QVERIFY(fiveButtonsEnabled(window, false));
        QTRY_VERIFY_WITH_TIMEOUT(fiveButtonsEnabled(window, true), 30000);
        QThreadPool::globalInstance()->waitForDone();

        QVERIFY(child<QCheckBox>(window, qPrintable(checkBox))->isChecked());
        for (const QString& other : testRoles)
            QCOMPARE(station.env.scriptRuns(other).size(), other == role ? 1 : 0);
        QCOMPARE(station.roleArgs(role), QStringList{station.session.serialNumber()});
        QVERIFY(station.env.scriptRuns("PING").isEmpty());
        QVERIFY(station.env.scriptRuns("MAC").isEmpty());
    }

    void failedSingleTestDoesNotCutTheNextChainShort()
    {
        Station station;
        QVERIFY(station.start());
        TestSoftware& window = station.open();
        TestEnvironment::setScriptExit("TESTTASTER", "1");
        click(window, "btnTestTasterTest");
        QTRY_VERIFY_WITH_TIMEOUT(fiveButtonsEnabled(window, true), 30000);
        QCOMPARE(MessageBox::takeShownTextsForTesting(),
                 QStringList{"Der Test für den Test Taster ist fehlgeschlagen!"});

        TestEnvironment::setScriptExit("TESTTASTER", "0");
        runChain(window);
        for (const QString& role : testRoles)
            QVERIFY2(!station.env.scriptRuns(role).isEmpty(), qPrintable(role));
        QVERIFY(child<QCheckBox>(window, "cbInterfaces")->isChecked());
    }

    void unreachableTestServer()
    {
        Station station;
        QVERIFY(station.start());
        TestEnvironment::setScriptExit("PING", "1");
        TestSoftware& window = station.open();
        click(window, "btnLEDOK");

        QCOMPARE(MessageBox::takeShownTextsForTesting(),
                 QStringList{"Testserver noch nicht verfügbar, bitte warten!"});
        QVERIFY(fiveButtonsEnabled(window, true));
        QCOMPARE(station.roleArgs("PING"), (QStringList{"-c|1|-w|10|192.168.2.251"}));
        QVERIFY(window.findChildren<AssignMacs*>().isEmpty());
        QThreadPool::globalInstance()->waitForDone();
        QVERIFY(station.env.scriptRuns("MAC").isEmpty());
        for (const QString& role : testRoles)
            QVERIFY(station.env.scriptRuns(role).isEmpty());
    }

    void macWarningIsShownAndBlocksPrinting()
    {
        Station station;
        QVERIFY(station.start());
        qputenv("NIMBREL_FAKE_MAC_ETH1", "");
        TestEnvironment::setScriptExit("TESTTASTER", "1"); // nothing re-enables printing afterwards
        TestSoftware& window = station.open();
        runChain(window);

        const QStringList shown = MessageBox::takeShownTextsForTesting();
        QVERIFY(shown.contains("MAC-Adresse von eth1 konnte nicht gelesen werden!"));
        QVERIFY(!button(window, "btnOpenPrintDialog")->isEnabled());
        QVERIFY(station.sim.requests("/api/v1/assignMacAddresses").isEmpty());
    }

    void resetCyclesThePower()
    {
        Station station;
        QVERIFY(station.start());
        TestSoftware& window = station.open();
        click(window, "btnReset");
        QCOMPARE(station.roleArgs("RELAY"), (QStringList{"5|OFF", "8|OFF", "5|ON", "8|ON"}));
        QVERIFY(window.isEnabled());
    }

    void failedInterfaceTestShowsTheNewestLog_data()
    {
        addColumns({"layout", "shown"});
        addRows({{"two files", "two files", "INTERFACES NOK eth1\nline 2\n"},
                 {"newest is a subdirectory", "subdirectory", ""},
                 {"missing folder", "missing", ""}});
    }

    void failedInterfaceTestShowsTheNewestLog()
    {
        QFETCH(QString, layout);
        QFETCH(QString, shown);
        Station station;
        QVERIFY(station.start());
        const QString folder = station.env.path("test_log");
        if (layout == "missing") {
            QVERIFY(QDir(folder).removeRecursively());
        } else {
            writeFile(folder + "/older.txt", "INTERFACES OK\n");
            setModified(folder + "/older.txt", QDateTime::currentDateTime().addSecs(-3600));
            if (layout == "two files")
                writeFile(folder + "/newer.txt", "INTERFACES NOK eth1\nline 2");
            else
                QVERIFY(QDir().mkpath(folder + "/run2"));
        }
        TestEnvironment::setScriptExit("INTERFACES", "1");
        TestSoftware& window = station.open();
        runChain(window);

        QCOMPARE(logText(window), "* Bitte Test Taster drücken!\n* Test Taster ok\n"
                                  "* Bitte Reset Taster drücken!\n* Reset Taster ok\n"
                                  "* Schnittstellen Test nok\n" +
                                      shown);
    }
};

NIMBREL_TEST_MAIN(TestTestSoftware)
#include "tst_testsoftware.moc"
