#include "testwindow.h"

// The LED confirmation's chain (ping, tests, MAC reads, additionals timer), single tests, the test log shown.
class TestTestSoftware : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void tests_data()
    {
        addColumns({"button", "failing", "ran", "warning", "log"}); // failing exits with 1; ran: in order
        const QString ok = "* Bitte Test Taster drücken!\n* Test Taster ok\n", led = "btnLEDOK";
        const QString resetOk = "* Bitte Reset Taster drücken!\n* Reset Taster ok\n",
                      nok = "* Schnittstellen Test nok\n";
        const QString failed = "* Bitte Test Taster drücken!\n* Test Taster fehlgeschlagen\n";
        const QString testBox = "Der Test für den Test Taster ist fehlgeschlagen!";
        const QString ifBox = "Der Test für Intefaces ist fehlgeschlagen!",
                      all = "PING TESTTASTER RESETTASTER INTERFACES";
        addRows(
            {{"chain", led, "NONE", all, "", ok + resetOk + "* Schnittstellen Test ok\n"},
             {"no test server", led, "PING", "PING", "Testserver noch nicht verfügbar, bitte warten!", ""},
             {"test button fails", led, "TESTTASTER", "PING TESTTASTER", testBox, failed},
             {"reset button fails", led, "RESETTASTER", "PING TESTTASTER RESETTASTER",
              "Der Test für den Reset Taster ist fehlgeschlagen!",
              ok + "* Bitte Reset Taster drücken!\n* Reset Taster fehlgeschlagen\n"},
             {"interfaces fail", led, "INTERFACES", all, ifBox, ok + resetOk + nok},
             {"interfaces fail, window closed", led, "INTERFACES", all, ifBox, ok + resetOk + nok},
             {"test button alone", "btnTestTasterTest", "NONE", "TESTTASTER", "", ok},
             {"reset button alone", "btnTestTasterReset", "NONE", "RESETTASTER", "", resetOk},
             {"interfaces alone", "btnStartTests", "NONE", "INTERFACES", "", "* Schnittstellen Test ok\n"},
             {"test button alone fails", "btnTestTasterTest", "TESTTASTER", "TESTTASTER", testBox, failed},
             {"Abbrechen while tests run", "btnCancel", "", "", "", ""},
             {"the window's close button while tests run", "", "", "", "", ""}});
    }

    void tests()
    {
        Station s;
        QVERIFY(s.start("1.2.0-dev", 50));
        if (QByteArray(QTest::currentDataTag()).endsWith("run")) { // the reset button test and a MAC read
            TestEnvironment::setScriptDelay("RESETTASTER", 60);
            TestEnvironment::setScriptDelay("MAC", 60);
            qputenv("NIMBREL_FAKE_STARTED_DIR", s.env.root().toUtf8());
            s.click("btnLEDOK");
            QTRY_COMPARE_WITH_TIMEOUT(QDir(s.env.root()).entryList({"RESETTASTER.*", "MAC.*"}).size(), 2,
                                      20000);
            QCOMPARE(s.enabledButtons(), 0); // still, while a chained test runs
            if (cell("button").isEmpty())
                QVERIFY(s.window->windowHandle()->close());
            else
                s.click("btnCancel");
            // Both terminated (-15); then their results reach the closed window.
            QTRY_COMPARE(s.run("RESETTASTER", "exit").toInt() + s.run("MAC", "exit").toInt(), -30);
            QThreadPool::globalInstance()->waitForDone();
            QCoreApplication::processEvents();
            QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
            QCOMPARE(s.env.scriptRuns().size(), 4); // ping, test button, these two: nothing started since
            return;
        }
        TestEnvironment::setScriptExit(cell("failing"), "1");
        QByteArray big; // the newest test log, large, in short lines: many to lay out
        for (int i = 0; big.size() < 3 * 1024 * 1024; ++i)
            big += "eth" + QByteArray::number(i) + " link NOK\n";
        s.write("test_log/testlog.txt", big);
        const bool closing = QByteArray(QTest::currentDataTag()).endsWith("closed");
        QString log = cell("log");
        if (log.endsWith("nok\n") && !closing)
            log += "… Test-Log gekürzt: nur das letzte 1 MiB von testlog.txt wird angezeigt …\n" +
                   QString::fromLatin1(big.right(1 << 20));
        QElapsedTimer sinceTick; // ticks while the test log is shown: the window keeps answering
        qint64 gap = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { gap = qMax(gap, sinceTick.restart()); });
        auto* txtLog = s.child<QPlainTextEdit>("txtLog");
        QObject::connect(txtLog, &QPlainTextEdit::textChanged, s.window.data(), [&] {
            if (ticker.isActive() || !s.log().endsWith("nok\n"))
                return;
            sinceTick.start(); // the log is read from here on
            ticker.start(10);
            if (closing)
                QTimer::singleShot(0, s.window.data(), &QWidget::close);
        });
        s.click(qPrintable(cell("button")));
        QTRY_COMPARE_WITH_TIMEOUT(s.enabledButtons(), 5, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(s.window->findChildren<AssignMacs*>().isEmpty(), 30000);
        QTRY_VERIFY(s.window->findChildren<QFutureWatcherBase*>().isEmpty()); // the test log was read
        QTRY_COMPARE_WITH_TIMEOUT(txtLog->document()->characterCount(), log.size() + 1, 10000);
        QCOMPARE(s.log(), log);
        QVERIFY2(gap <= maxGuiGapMs, qPrintable(QString("the window stalled for %1 ms").arg(gap)));
        QTEST(MessageBox::takeShownTextsForTesting().join('|'), "warning");
        const QStringList ran = cell("ran").split(' ');
        QCOMPARE(s.args("PING"),
                 ran.contains("PING") ? QStringList{"-c|1|-w|10|192.168.2.251"} : QStringList());
        // Each with the serial number, its box ticked if it passed.
        const char* const box[] = {"cbTestTaster", "cbResetTaster", "cbInterfaces"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(s.args(testRoles[i]),
                     ran.contains(testRoles[i]) ? QStringList{s.session.serialNumber()} : QStringList());
            QCOMPARE(s.child(box[i])->isChecked(),
                     ran.contains(testRoles[i]) && testRoles[i] != cell("failing"));
        }
        for (int i = 1; i < ran.size(); ++i) // one after the other
            QVERIFY(s.run(ran[i], "start").toDouble() >= s.run(ran[i - 1], "end").toDouble());
        const bool reachable = cell("ran").startsWith("PING TESTTASTER"); // then MAC reads and additionals
        QCOMPARE(s.args("MAC").join(' '), reachable ? "eth0 eth1" : "");
        QTRY_COMPARE_WITH_TIMEOUT(s.sim.requests("/api/v1/additionals").size(), reachable ? 1 : 0, 10000);
        QCOMPARE(Simulator::queryString(s.sim.requests("/api/v1/additionals").value(0)),
                 reachable ? "article=4r0417&serialNumber=" + s.session.serialNumber() : "");
        if (cell("button") == "btnLEDOK")
            return;
        // A single test left from before cuts no chain short.
        TestEnvironment::setScriptExit(cell("failing"), "0");
        s.runChain();
        for (const QString& role : testRoles)
            QCOMPARE(s.args(role).size(), int(ran.contains(role)) + 1);
    }
};

NIMBREL_TEST_MAIN(TestTestSoftware)
#include "tst_testsoftware.moc"
