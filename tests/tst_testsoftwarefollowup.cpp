#include "logcapture.h"
#include "testwindow.h"

#include <QJsonDocument>

using namespace teststation;

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
                 {"no output", "", "0", ""},
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
        qputenv("NIMBREL_FAKE_MAC_ETH0", col("written").toUtf8());
        TestEnvironment::setScriptExit("MAC", col("exit"));
        QTEST(AssignMacs::readMac("eth0"), "expected");
    }

    // Labels need tests, additionals and this confirmation's MACs; the major release decides what is stopped.
    void wayToTheLabels_data()
    {
        addColumns(
            {"version", "role", "stopWarning", "logLine", "macFault", "macWarning"}); // warning: it fails
        const QString ended = "Testserver was stopped\n", disabled = "Production test server was stopped\n";
        const QString endFailed = "Testserver konnte nicht beendet werden, bitte nochmal \"Weiter\" drücken!";
        const QString disableFailed = "Der Produktionstest dienst des Nimbrels konnte nicht beendet werden!";
        const QString end = "ENDTESTSERVER", refused = "status:500:{\"message\":\"abgelehnt\"}";
        addRows({{"0.9.1", "0.9.1", end, "", ended, "", ""},
                 {"0.9.1, stop fails", "0.9.1", end, endFailed, "Testserver couldn't be stopped\n", "", ""},
                 {"1.2.0-dev, stop fails", "1.2.0-dev", "DISABLEPRODUCTION", disableFailed,
                  "Production test server couldn't be stopped\n", "", ""},
                 {"12.0", "12.0", "DISABLEPRODUCTION", "", disabled, "", ""},
                 {"MACs refused", "0.9.1", end, "", ended, refused, "abgelehnt"},
                 {"eth1 unread", "0.9.1", end, "", ended, "ETH1",
                  "MAC-Adresse von eth1 konnte nicht gelesen werden!"},
                 {"both unread", "0.9.1", end, "", ended, "ETH0 ETH1",
                  "MAC-Adressen von eth0 und eth1 konnten nicht gelesen werden!"}});
    }

    void wayToTheLabels()
    {
        Station s;
        QVERIFY(s.start(col("version")));
        const QString testLog = s.env.path("test_log/testlog.txt"), outside = s.env.path("outside.txt");
        writeFile(s.env.path("test_log/old.txt"), "old\n");
        writeFile(testLog, "INTERFACES OK\n");
        s.age(s.env.path("test_log/old.txt"), 3600);
        s.age(testLog, 60);
        writeFile(outside, "outside\n"); // a link planted as the newest test log is never written through
        QVERIFY(QFile::link(outside, s.env.path("test_log/planted.txt")));
        TestEnvironment::setScriptExit(col("role"), col("stopWarning").isEmpty() ? "0" : "1");
        for (const QString& fault :
             col("macFault").split(' ', Qt::SkipEmptyParts)) // the server's, or ETHn silent
            QVERIFY(fault.startsWith("status") ? s.sim.setFault("assignMacAddresses", fault, 1)
                                               : qputenv(qPrintable("NIMBREL_FAKE_MAC_" + fault), ""));
        QSignalSpy result(s.window.data(), &TestSoftware::ResultDisableProductionTestServer);
        s.runChain();
        s.fetchAdditionals(); // after the tests: the labels follow at once, if they may
        if (!col("macFault").isEmpty()) {
            QCOMPARE(MessageBox::takeShownTextsForTesting().join('|'),
                     col("macWarning") +
                         "|MAC-Adressen sind nicht registriert - bitte LED-Test wiederholen!");
            QVERIFY(s.window->isVisible() && !s.hasLabels());
            cleanup(); // a new LED confirmation reads and registers them again
            s.runChain();
            s.fetchAdditionals();
        }
        QVERIFY(s.hasLabels() && !s.window->isVisible());
        const bool ending = col("role") == "ENDTESTSERVER";
        QTRY_COMPARE(s.args("ENDTESTSERVER") + s.args("DISABLEPRODUCTION"),
                     QStringList{ending ? "G1234567" : ""});
        QTRY_COMPARE(result.size(), ending ? 0 : 1);
        QCOMPARE(result.value(0).value(0).toBool(), !ending && col("stopWarning").isEmpty());
        QTEST(MessageBox::takeShownTextsForTesting().join('|'), "stopWarning");
        QCOMPARE(readFile(testLog), "INTERFACES OK\n" + col("logLine").toUtf8() + "\n");
        QCOMPARE(readFile(s.env.path("test_log/old.txt")) + readFile(outside), QByteArray("old\noutside\n"));
        QVERIFY(s.env.scriptRuns("MAC")[1]["start"].toDouble() >=
                s.run("MAC", "end").toDouble()); // eth1 after eth0
        const QList<QJsonObject> requests = s.sim.requests("/api/v1/assignMacAddresses");
        QCOMPARE(requests.size(), col("macFault").startsWith("status") ? 2 : 1);
        QCOMPARE(Simulator::queryString(requests.last()), "article=4r0417&serialNumber=" + s.serial()[0]);
        QCOMPARE(QJsonDocument::fromJson(requests.last().value("body").toString().toUtf8()).object(),
                 (QJsonObject{{"eth0", "02:4e:49:4d:00:01"}, {"eth1", "02:4e:49:4d:00:02"}}));
    }

    void refusalsOfPrintingComeInOrder()
    {
        Station s;
        QVERIFY(s.start());
        Settings::setValue("TestLogPath", ""); // refused, never read as the working directory
        writeFile(s.env.stationDir() + "/newest.txt", "newest\n");
        QSignalSpy stopped(s.window.data(), &TestSoftware::ResultDisableProductionTestServer);
        LogCapture log;
        QVERIFY(s.sim.setFault("additionals", "status:500:{\"message\":\"Zusatzdateien fehlen\"}", 1));
        const auto refusal = [&] {
            s.click("btnOpenPrintDialog");
            return MessageBox::takeShownTextsForTesting().join('|');
        };
        const QString notReady = "Bitte warten und erneut versuchen - Labels sind noch nicht druckbereit!";
        const QString testsMissing = "Tests noch nicht abgeschlossen oder fehlerhaft!";
        s.fetchAdditionals();
        QCOMPARE(s.log(), QStringLiteral("Zusatzdateien fehlen\n"));
        QCOMPARE(refusal(), "Zusatzdateien fehlen|" + notReady); // and neither tests nor MACs
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
        QVERIFY(log.contains("Directory does not exist:"));
        QCOMPARE(readFile(s.env.stationDir() + "/newest.txt"), QByteArray("newest\n"));
    }
};

NIMBREL_TEST_MAIN(TestSoftwareFollowUp)
#include "tst_testsoftwarefollowup.moc"
