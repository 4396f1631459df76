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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();

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
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("stopExit");
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("argument"); // "order" for the order number
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("closeAllowed");
        const QString endFailed = "Testserver konnte nicht beendet werden, bitte nochmal \"Weiter\" drücken!";
        const QString disableFailed = "Der Produktionstest dienst des Nimbrels konnte nicht beendet werden!";
        QTest::newRow("0.9.1") << "0.9.1"
                               << "0"
                               << "ENDTESTSERVER"
                               << "order"
                               << ""
                               << "Testserver was stopped\n"
                               << true;
        QTest::newRow("0.9.1, stop fails") << "0.9.1"
                                           << "1"
                                           << "ENDTESTSERVER"
                                           << "order" << endFailed << "Testserver couldn't be stopped\n"
                                           << false;
        QTest::newRow("empty") << ""
                               << "0"
                               << "ENDTESTSERVER"
                               << "order"
                               << ""
                               << "Testserver was stopped\n"
                               << true;
        QTest::newRow("not a number") << "beta.2"
                                      << "0"
                                      << "ENDTESTSERVER"
                                      << "order"
                                      << ""
                                      << "Testserver was stopped\n"
                                      << true;
        QTest::newRow("1.2.0-dev") << "1.2.0-dev"
                                   << "0"
                                   << "DISABLEPRODUCTION"
                                   << ""
                                   << ""
                                   << "Production test server was stopped\n"
                                   << true;
        QTest::newRow("1.2.0-dev, stop fails")
            << "1.2.0-dev"
            << "1"
            << "DISABLEPRODUCTION"
            << "" << disableFailed << "Production test server couldn't be stopped\n"
            << false;
        QTest::newRow("12.0") << "12.0"
                              << "0"
                              << "DISABLEPRODUCTION"
                              << ""
                              << ""
                              << "Production test server was stopped\n"
                              << true;
    }

    void majorReleaseDecidesWhatIsStopped()
    {
        QFETCH(QString, version);
        QFETCH(QString, stopExit);
        QFETCH(QString, role);
        QFETCH(QString, argument);
        QFETCH(QString, warning);
        QFETCH(QString, logLine);
        QFETCH(bool, closeAllowed);
        Station station;
        QVERIFY(station.start(version));
        const QString testLog = station.env.path("test_log/testlog.txt");
        writeFile(testLog, "INTERFACES OK\n");
        TestEnvironment::setScriptExit(role, stopExit);
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
        fetchAdditionals(window, station);
        runChain(window);
        QSignalSpy result(&window, &TestSoftware::ResultDisableProductionTestServer);

        click(window, "btnOpenPrintDialog");
        PrintLabels* labels = window.findChild<PrintLabels*>();
        QVERIFY(labels);
        QVERIFY(labels->isVisible());
        QVERIFY(!window.isVisible());
        const QString other = role == "ENDTESTSERVER" ? "DISABLEPRODUCTION" : "ENDTESTSERVER";
        QTRY_COMPARE_WITH_TIMEOUT(station.env.scriptRuns(role).size(), 1, 20000);
        QCOMPARE(station.roleArgs(role),
                 QStringList{argument == "order" ? station.session.orderNumber() : argument});
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
        const QString printer = station.env.stationDir() + "/printlabel.sh";
        QFile::remove(printer);
        writeFile(printer, "#!/bin/sh\nexit 0\n");
        QFile::setPermissions(printer, QFile::permissions(printer) | QFile::ExeOwner);
        click(*labels, "btnPrintLabel1");
        click(*labels, "btnPrintLabel2");
        click(*labels, "btnPrintLabel3");
        QCOMPARE(button(*labels, "btnClose")->isEnabled(), closeAllowed);
    }

    void additionalsBeforeTheTestsWaitForTheOperator()
    {
        Station station;
        QVERIFY(station.start("0.9.1"));
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
        fetchAdditionals(window, station);
        runChain(window);

        QVERIFY(window.isVisible());
        QVERIFY(window.findChildren<PrintLabels*>().isEmpty());
        QVERIFY(station.env.scriptRuns("ENDTESTSERVER").isEmpty());
        click(window, "btnOpenPrintDialog");
        QVERIFY(!window.isVisible());
        QCOMPARE(window.findChildren<PrintLabels*>().size(), 1);
        QCOMPARE(station.env.scriptRuns("ENDTESTSERVER").size(), 1);
    }

    void additionalsAfterTheTestsOpenTheLabels()
    {
        Station station;
        QVERIFY(station.start("0.9.1"));
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
        runChain(window);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(station.additionalsMarker()), 20000);
        QCOMPARE(station.sim.requests("/api/v1/additionals").size(), 1);
    }

    void additionalsWarning()
    {
        Station station;
        QVERIFY(station.start());
        QVERIFY(station.sim.setFault("additionals", "status:500:{\"message\":\"Zusatzdateien fehlen\"}"));
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
        runChain(window);
        click(window, "btnCancel");
        QVERIFY(!window.isVisible());

        fetchAdditionals(window, station);
        QVERIFY(window.findChildren<PrintLabels*>().isEmpty());
        QVERIFY(station.env.scriptRuns("ENDTESTSERVER").isEmpty());
    }

    void testLogGetsTheStopLine_data()
    {
        QTest::addColumn<QString>("layout"); // what TestLogPath holds
        QTest::addColumn<QString>("expectedLog");
        QTest::newRow("two files") << "two files"
                                   << "";
        QTest::newRow("only a subdirectory") << "subdirectory"
                                             << "No files found in directory:";
        QTest::newRow("missing folder") << "missing"
                                        << "Directory does not exist:";
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
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
