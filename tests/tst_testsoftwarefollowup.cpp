#include "testwindow.h"

// The MAC addresses, the additionals, the test log and the way on to the labels.
class TestSoftwareFollowUp : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShownForTesting(); }
    void cleanup()
    {
        qunsetenv("NIMBREL_FAKE_MAC_ETH0");
        qunsetenv("NIMBREL_FAKE_MAC_ETH1");
    }

    void readMac_data()
    {
        addColumns({"written", "exit", "expected"}); // what the script writes to standard error
        const QString mac = "02:4e:49:4d:00:07";
        addRows({{"warning line plus address", "DeprecationWarning: old API\n" + mac + "\r", "0", mac},
                 {"traceback, exit 0", "Traceback (most recent call last):\nOSError: eth0", "0", ""},
                 {"two different addresses", mac + "\n02:4e:49:4d:00:08", "0", ""},
                 {"address with -", "02-4E-49-4D-00-07", "0", "02-4E-49-4D-00-07"},
                 {"same address twice", mac + " 02-4E-49-4D-00-07", "0", mac},
                 {"crash", mac, "crash", ""},
                 {"exit code 1 with an address", mac, "1", mac},
                 {"hangs after the address", mac, "hang", mac}});
    }

    void readMac()
    {
        TestEnvironment env;
        StationTimings timings;
        timings.macScriptTimeoutMs = 1000;
        StationTimings::setForTesting(timings);
        qputenv("NIMBREL_FAKE_MAC_ETH0", cell("written").toUtf8());
        TestEnvironment::setScriptExit("MAC", cell("exit"));
        QTEST(AssignMacs::readMac("eth0"), "expected");
    }

    // Labels need tests, additionals and this confirmation's MACs; the major release decides what is stopped.
    void wayToTheLabels_data()
    {
        addColumns({"version", "stopWarning", "logLine", "macFault", "macWarning"}); // warning: it fails
        const QString ended = "Testserver was stopped\n", refused = "status:500:{\"message\":\"abgelehnt\"}";
        addRows({{"0.9.1, stop fails", "0.9.1",
                  "Testserver konnte nicht beendet werden, bitte nochmal \"Weiter\" drücken!",
                  "Testserver couldn't be stopped\n", "", ""},
                 {"1.2.0-dev, stop fails", "1.2.0-dev",
                  "Der Produktionstest dienst des Nimbrels konnte nicht beendet werden!",
                  "Production test server couldn't be stopped\n", "", ""},
                 {"12.0", "12.0", "", "Production test server was stopped\n", "", ""},
                 {"0.9.1, MACs refused", "0.9.1", "", ended, refused, "abgelehnt"},
                 {"0.9.1, eth1 unread", "0.9.1", "", ended, "ETH1",
                  "MAC-Adresse von eth1 konnte nicht gelesen werden!"},
                 {"0.9.1, both unread", "0.9.1", "", ended, "ETH0 ETH1",
                  "MAC-Adressen von eth0 und eth1 konnten nicht gelesen werden!"}});
    }

    void wayToTheLabels()
    {
        Station s;
        QVERIFY(s.start(cell("version")));
        const QString testLog = s.env.path("test_log/testlog.txt"), outside = s.env.path("outside.txt");
        s.write("test_log/old.txt", "old\n", 3600);
        s.write("test_log/testlog.txt", "INTERFACES OK\n", 60);
        s.write("outside.txt", "outside\n"); // a link planted as the newest test log is never written through
        QVERIFY(QFile::link(outside, s.env.path("test_log/planted.txt")));
        const bool ending = cell("version").startsWith("0."); // major release 0 ends the test server instead
        TestEnvironment::setScriptExit(ending ? "ENDTESTSERVER" : "DISABLEPRODUCTION",
                                       cell("stopWarning").isEmpty() ? "0" : "1");
        // The server refuses the MACs, or ETHn reads nothing.
        for (const QString& fault : cell("macFault").split(' ', Qt::SkipEmptyParts))
            QVERIFY(fault.startsWith("status") ? s.sim.setFault("assignMacAddresses", fault, 1)
                                               : qputenv(qPrintable("NIMBREL_FAKE_MAC_" + fault), ""));
        QSignalSpy result(s.window.data(), &TestSoftware::ResultDisableProductionTestServer);
        s.runChain();
        s.fetchAdditionals(); // after the tests: the labels follow at once, if they may
        if (!cell("macFault").isEmpty()) {
            QCOMPARE(MessageBox::takeShownTextsForTesting().join('|'),
                     cell("macWarning") +
                         "|MAC-Adressen sind nicht registriert - bitte LED-Test wiederholen!");
            QVERIFY(s.window->isVisible() && !s.hasLabels());
            cleanup(); // a new LED confirmation reads and registers them again
            s.runChain();
            s.fetchAdditionals();
        }
        QVERIFY(s.hasLabels() && !s.window->isVisible());
        QTRY_COMPARE(s.args("ENDTESTSERVER") + s.args("DISABLEPRODUCTION"),
                     QStringList{ending ? "G1234567" : ""});
        QTRY_COMPARE(result.size(), ending ? 0 : 1);
        QCOMPARE(result.value(0).value(0).toBool(), !ending && cell("stopWarning").isEmpty());
        QTEST(MessageBox::takeShownTextsForTesting().join('|'), "stopWarning");
        QCOMPARE(readFile(testLog), "INTERFACES OK\n" + cell("logLine").toUtf8() + "\n");
        QCOMPARE(readFile(s.env.path("test_log/old.txt")) + readFile(outside), QByteArray("old\noutside\n"));
        QVERIFY(s.env.scriptRuns("MAC")[1]["start"].toDouble() >=
                s.run("MAC", "end").toDouble()); // eth1 after eth0
        QCOMPARE(s.sim.requests("/api/v1/assignMacAddresses").size(),
                 cell("macFault").startsWith("status") ? 2 : 1);
    }

    void refusalsOfPrintingComeInOrder()
    {
        Station s;
        QVERIFY(s.start());
        Settings::setValue("TestLogPath", ""); // refused, never read as the working directory
        writeFile(s.env.stationDir() + "/newest.txt", "newest\n");
        QSignalSpy stopped(s.window.data(), &TestSoftware::ResultDisableProductionTestServer);
        QVERIFY(s.sim.setFault("additionals", "status:500:{\"message\":\"Zusatzdateien fehlen\"}", 1));
        const auto refusal = [&] {
            s.click("btnOpenPrintDialog");
            return MessageBox::takeShownTextsForTesting().join('|');
        };
        const QString testsMissing = "Tests noch nicht abgeschlossen oder fehlerhaft!";
        s.fetchAdditionals();
        QCOMPARE(s.log(), QStringLiteral("Zusatzdateien fehlen\n"));
        QCOMPARE(
            refusal(),
            "Zusatzdateien fehlen|Bitte warten und erneut versuchen - Labels sind noch nicht druckbereit!");
        s.fetchAdditionals();
        QCOMPARE(refusal(), testsMissing); // and no MACs either
        TestEnvironment::setScriptDelay("MAC", 3);
        s.click("btnLEDOK");
        QTRY_VERIFY_WITH_TIMEOUT(s.child("cbInterfaces")->isChecked(), 20000);
        QCOMPARE(refusal(), "Bitte warten und erneut versuchen - MAC-Adressen werden noch registriert!");
        TestEnvironment::setScriptExit("PING", "1"); // a new "ja": the pending registration no longer counts
        s.click("btnLEDOK");
        QTRY_COMPARE_WITH_TIMEOUT(s.run("MAC", "exit").toInt(), -15, 20000);
        QCOMPARE(refusal(), "Testserver noch nicht verfügbar, bitte warten!|" + testsMissing);
        TestEnvironment::setScriptExit("PING", "0");
        s.click("btnLEDOK");
        QTRY_VERIFY_WITH_TIMEOUT(s.hasLabels(), 30000); // once this confirmation's addresses are registered
        QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 20000);
        QCOMPARE(readFile(s.env.stationDir() + "/newest.txt"), QByteArray("newest\n"));
    }
};

NIMBREL_TEST_MAIN(TestSoftwareFollowUp)
#include "tst_testsoftwarefollowup.moc"
