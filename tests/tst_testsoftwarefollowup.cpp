#include "datarows.h"
#include "testmain.h"
#include "teststation.h"

using namespace teststation;

// The way on from the tests: additionals, stopping the test server, the label dialog, the test log.
class TestSoftwareFollowUp : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShownForTesting(); }
    void cleanup()
    {
        qunsetenv("NIMBREL_FAKE_MAC_ETH1");
        QThreadPool::globalInstance()->waitForDone();
    }

    void refusalsOfPrintingComeInOrder()
    {
        Station station;
        QVERIFY(station.start());
        TestEnvironment::setScriptExit("RESETTASTER", "1");
        TestSoftware& window = station.open();

        click(window, "btnOpenPrintDialog"); // neither tests nor additionals
        runChain(window);                    // tests fail half way
        click(window, "btnOpenPrintDialog"); // additionals still missing
        fetchAdditionals(window, station);
        click(window, "btnOpenPrintDialog"); // additionals there, tests not passed

        const QString notReady = "Bitte warten und erneut versuchen - Labels sind noch nicht druckbereit!";
        QCOMPARE(MessageBox::takeShownTextsForTesting(),
                 (QStringList{notReady, "Der Test für den Reset Taster ist fehlgeschlagen!", notReady,
                              "Tests noch nicht abgeschlossen oder fehlerhaft!"}));
        QVERIFY(window.findChildren<PrintLabels*>().isEmpty());
        QVERIFY(station.env.scriptRuns("ENDTESTSERVER").isEmpty());
    }

    void majorReleaseDecidesWhatIsStopped_data()
    {
        addColumns({"version", "stopExit", "role", "warning", "logLine"}); // a warning forbids closing
        const QString endFailed = "Testserver konnte nicht beendet werden, bitte nochmal \"Weiter\" drücken!";
        const QString disableFailed = "Der Produktionstest dienst des Nimbrels konnte nicht beendet werden!";
        const QString ended = "Testserver was stopped\n", disabled = "Production test server was stopped\n";
        addRows({{"0.9.1", "0.9.1", "0", "ENDTESTSERVER", "", ended},
                 {"0.9.1, stop fails", "0.9.1", "1", "ENDTESTSERVER", endFailed,
                  "Testserver couldn't be stopped\n"},
                 {"empty", "", "0", "ENDTESTSERVER", "", ended},
                 {"not a number", "beta.2", "0", "ENDTESTSERVER", "", ended},
                 {"1.2.0-dev", "1.2.0-dev", "0", "DISABLEPRODUCTION", "", disabled},
                 {"1.2.0-dev, stop fails", "1.2.0-dev", "1", "DISABLEPRODUCTION", disableFailed,
                  "Production test server couldn't be stopped\n"},
                 {"12.0", "12.0", "0", "DISABLEPRODUCTION", "", disabled}});
    }

    void majorReleaseDecidesWhatIsStopped()
    {
        QFETCH(QString, version);
        QFETCH(QString, stopExit);
        QFETCH(QString, role);
        QFETCH(QString, warning);
        QFETCH(QString, logLine);
        const bool closeAllowed = warning.isEmpty();
        Station station;
        QVERIFY(station.start(version));
        const QString testLog = station.env.path("test_log/testlog.txt");
        writeFile(testLog, "INTERFACES OK\n");
        TestEnvironment::setScriptExit(role, stopExit);
        TestSoftware& window = station.open();
        fetchAdditionals(window, station);
        runChain(window);
        QSignalSpy result(&window, &TestSoftware::ResultDisableProductionTestServer);

        // Additionals before the tests: the labels wait for the operator.
        QVERIFY(window.isVisible());
        QVERIFY(window.findChildren<PrintLabels*>().isEmpty());
        QVERIFY(station.env.scriptRuns(role).isEmpty());

        click(window, "btnOpenPrintDialog");
        QCOMPARE(window.findChildren<PrintLabels*>().size(), 1);
        PrintLabels* labels = window.findChild<PrintLabels*>();
        QVERIFY(labels->isVisible());
        QVERIFY(!window.isVisible());
        const QString other = role == "ENDTESTSERVER" ? "DISABLEPRODUCTION" : "ENDTESTSERVER";
        QTRY_COMPARE_WITH_TIMEOUT(station.env.scriptRuns(role).size(), 1, 20000);
        QCOMPARE(station.roleArgs(role),
                 QStringList{role == "ENDTESTSERVER" ? station.session.orderNumber() : QString()});
        if (role == "DISABLEPRODUCTION") {
            QTRY_COMPARE_WITH_TIMEOUT(result.size(), 1, 20000);
            QCOMPARE(result.first().first().toBool(), closeAllowed);
        }
        QThreadPool::globalInstance()->waitForDone();
        QVERIFY(station.env.scriptRuns(other).isEmpty());
        QCOMPARE(MessageBox::takeShownTextsForTesting(),
                 warning.isEmpty() ? QStringList() : QStringList{warning});
        QCOMPARE(readFile(testLog), "INTERFACES OK\n" + logLine.toUtf8() + "\n");

        // The label dialog's close button follows the verdict once all labels were printed.
        useInstantPrinter(station.env);
        click(*labels, "btnPrintLabel1");
        click(*labels, "btnPrintLabel2");
        click(*labels, "btnPrintLabel3");
        QCOMPARE(button(*labels, "btnClose")->isEnabled(), closeAllowed);
    }

    void additionalsAfterTheTestsOpenTheLabels()
    {
        Station station;
        QVERIFY(station.start("0.9.1"));
        TestSoftware& window = station.open();
        runChain(window);
        QVERIFY(window.findChildren<PrintLabels*>().isEmpty());

        fetchAdditionals(window, station);
        QTRY_VERIFY(!window.isVisible());
        PrintLabels* labels = window.findChild<PrintLabels*>();
        QVERIFY(labels && labels->isVisible());
        QCOMPARE(station.roleArgs("ENDTESTSERVER"), QStringList{station.session.orderNumber()});
        const QList<QJsonObject> requests = station.sim.requests("/api/v1/additionals");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(Simulator::queryString(requests[0]),
                 "article=4r0417&serialNumber=" + station.session.serialNumber());
        QVERIFY(QFileInfo::exists(station.env.path("configs/") + station.session.additionalsArchiveName()));
    }

    void additionalsFollowTheLedConfirmation()
    {
        Station station;
        QVERIFY(station.start());
        StationTimings timings = StationTimings::current();
        timings.additionalsDelayMs = 50;
        StationTimings::setForTesting(timings);
        TestSoftware& window = station.open();
        runChain(window);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(station.additionalsMarker()), 20000);
        QCOMPARE(station.sim.requests("/api/v1/additionals").size(), 1);
    }

    void additionalsWarning()
    {
        Station station;
        QVERIFY(station.start());
        QVERIFY(station.sim.setFault("additionals", "status:500:{\"message\":\"Zusatzdateien fehlen\"}"));
        TestSoftware& window = station.open();
        runChain(window);
        QVERIFY(QMetaObject::invokeMethod(&window, "downloadAdditionals"));
        QTRY_VERIFY_WITH_TIMEOUT(logText(window).endsWith("Zusatzdateien fehlen\n"), 20000);
        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList{"Zusatzdateien fehlen"});
        QVERIFY(button(window, "btnOpenPrintDialog")->isEnabled());
        click(window, "btnOpenPrintDialog");
        QCOMPARE(MessageBox::takeShownTextsForTesting(),
                 QStringList{"Bitte warten und erneut versuchen - Labels sind noch nicht druckbereit!"});
    }

    void cancelledRunDoesNotOpenTheLabelsLater()
    {
        Station station;
        QVERIFY(station.start("0.9.1"));
        TestSoftware& window = station.open();
        runChain(window);
        click(window, "btnCancel");
        QVERIFY(!window.isVisible());

        fetchAdditionals(window, station);
        QVERIFY(window.findChildren<PrintLabels*>().isEmpty());
        QVERIFY(station.env.scriptRuns("ENDTESTSERVER").isEmpty());
    }

    void testLogGetsTheStopLine_data()
    {
        addColumns({"layout", "expectedLog"}); // layout: what TestLogPath holds
        addRows({{"two files", "two files", ""},
                 {"only a subdirectory", "subdirectory", "No files found in directory:"},
                 {"missing folder", "missing", "Directory does not exist:"}});
    }

    void testLogGetsTheStopLine()
    {
        QFETCH(QString, layout);
        QFETCH(QString, expectedLog);
        Station station;
        QVERIFY(station.start("0.9.1"));
        const QString folder = station.env.path("test_log");
        const QString older = folder + "/older.txt";
        const QString newer = folder + "/newer.txt";
        if (layout == "two files") {
            writeFile(newer, "newer\n");
            writeFile(older, "older\n");
            setModified(older, QDateTime::currentDateTime().addSecs(-3600));
        } else if (layout == "subdirectory") {
            QVERIFY(QDir().mkpath(folder + "/run1"));
        } else {
            QVERIFY(QDir(folder).removeRecursively());
        }
        TestSoftware& window = station.open();
        fetchAdditionals(window, station);
        runChain(window);
        LogCapture log;
        click(window, "btnOpenPrintDialog");
        QVERIFY(window.findChild<PrintLabels*>());

        if (layout == "two files") {
            QCOMPARE(readFile(newer), QByteArray("newer\nTestserver was stopped\n\n"));
            QCOMPARE(readFile(older), QByteArray("older\n"));
        } else {
            QVERIFY(log.contains(expectedLog + " " + QDir(folder).absolutePath()));
            QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 0);
        }
    }
};

NIMBREL_TEST_MAIN(TestSoftwareFollowUp)
#include "tst_testsoftwarefollowup.moc"
