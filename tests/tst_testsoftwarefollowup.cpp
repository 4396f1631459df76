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

    // Labels need tests, additionals and this confirmation's MACs; the major release decides what is stopped.
    void wayToTheLabels_data()
    {
        // macFault: KEY=value for ETHn's standard error, the MAC script's exit, the server's answer
        addColumns({"version", "stopWarning", "logLine", "macFault", "macWarning"}); // warning: it fails
        const QString ended = "Testserver was stopped\n", mac = "02:4e:49:4d:00:07",
                      both = "MAC-Adressen von eth0 und eth1 konnten nicht gelesen werden!";
        addRows(
            {{"0.9.1, stop fails, one address in two forms", "0.9.1",
              "Testserver konnte nicht beendet werden, bitte nochmal \"Weiter\" drücken!",
              "Testserver couldn't be stopped\n", "ETH0=" + mac + " 02-4E-49-4D-00-07", ""},
             {"1.2.0-dev, stop fails, a warning before the address", "1.2.0-dev",
              "Der Produktionstest dienst des Nimbrels konnte nicht beendet werden!",
              "Production test server couldn't be stopped\n",
              "ETH0=DeprecationWarning: old API\n" + mac + "\r", ""},
             {"12.0, address with -", "12.0", "", "Production test server was stopped\n",
              "ETH0=02-4E-49-4D-00-07", ""},
             {"0.9.1, MACs refused, exit 1", "0.9.1", "", ended,
              "assignMacAddresses=status:500:{\"message\":\"abgelehnt\"}|exit=1", "abgelehnt"},
             {"0.9.1, eth1 unread, hanging after eth0's address", "0.9.1", "", ended, "ETH1=|exit=hang",
              "MAC-Adresse von eth1 konnte nicht gelesen werden!"},
             {"0.9.1, two addresses, a traceback", "0.9.1", "", ended,
              "ETH0=" + mac + "\n02:4e:49:4d:00:08|ETH1=Traceback (most recent call last):\nOSError: eth1",
              both},
             {"0.9.1, both crash", "0.9.1", "", ended, "exit=crash", both}});
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
        StationTimings timings = StationTimings::current();
        timings.macScriptTimeoutMs = 1000;
        StationTimings::setForTesting(timings);
        for (const QString& fault : cell("macFault").split('|', Qt::SkipEmptyParts)) {
            const QString key = fault.section('=', 0, 0), value = fault.section('=', 1);
            if (key == "exit")
                TestEnvironment::setScriptExit("MAC", value);
            else
                QVERIFY(key.startsWith("ETH") ? qputenv(qPrintable("NIMBREL_FAKE_MAC_" + key), value.toUtf8())
                                              : s.sim.setFault(key, value, 1));
        }
        QSignalSpy result(s.window.data(), &TestSoftware::ResultDisableProductionTestServer);
        s.runChain();
        s.fetchAdditionals(); // after the tests: the labels follow at once, if they may
        if (!cell("macWarning").isEmpty()) {
            QCOMPARE(MessageBox::takeShownTextsForTesting().join('|'),
                     cell("macWarning") +
                         "|MAC-Adressen sind nicht registriert - bitte LED-Test wiederholen!");
            QVERIFY(s.window->isVisible() && !s.hasLabels());
            cleanup(); // a new LED confirmation reads and registers them again
            TestEnvironment::setScriptExit("MAC", "0");
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
                 cell("macFault").startsWith("assign") ? 2 : 1);
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
