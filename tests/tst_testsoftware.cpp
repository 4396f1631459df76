#include "assignmacs.h"
#include "configmanager.h"
#include "flashsession.h"
#include "logcapture.h"
#include "messagebox.h"
#include "printlabels.h"
#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"
#include "testsoftware.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThreadPool>

namespace {
const QStringList testRoles{"TESTTASTER", "RESETTASTER", "INTERFACES"};
const char* const fiveButtons[] = {"btnLEDOK", "btnTestTasterTest", "btnTestTasterReset", "btnStartTests",
                                   "btnReset"};

QStringList argsOf(const QJsonObject& run)
{
    return run.value(QStringLiteral("args")).toVariant().toStringList();
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void setModified(const QString& path, const QDateTime& time)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
}

// A sandboxed station with a simulator that has handed out this device's serial number.
struct Station
{
    TestEnvironment env;
    Simulator sim;
    FlashSession session;

    bool start(const QString& swVersion = QStringLiteral("1.2.0-dev"))
    {
        if (!sim.start())
            return false;
        env.pointAt(sim.baseUrl());
        StationTimings timings;
        timings.additionalsDelayMs = 600000; // tests trigger the download themselves
        StationTimings::setForTesting(timings);
        session.setArticle(QStringLiteral("4r0417"));
        session.setImage(QStringLiteral("nimbrel-4r0417"));
        session.setSwVersion(swVersion);
        session.setOrderNumber(QStringLiteral("G1234567"));
        ConfigManager client;
        QSignalSpy assigned(&client, &ConfigManager::assingedSerialnummber);
        client.assignSerialNumber(session.article(), QStringLiteral("1.2.0-dev"), session.orderNumber());
        if (!assigned.wait(10000) || assigned.size() != 1)
            return false;
        session.setSerialNumber(assigned.first().first().toString());
        return !session.serialNumber().isEmpty();
    }

    QStringList roleArgs(const QString& role) const
    {
        QStringList lines;
        for (const QJsonObject& run : env.scriptRuns(role))
            lines << argsOf(run).join(QLatin1Char('|'));
        return lines;
    }

    QString additionalsMarker() const
    {
        return env.path(QStringLiteral("configs/extract/additionals/README.txt"));
    }

    ~Station() { QThreadPool::globalInstance()->waitForDone(); }
};

template <typename T> T* child(QObject& parent, const char* name)
{
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

QPushButton* button(QObject& parent, const char* name)
{
    return child<QPushButton>(parent, name);
}

void click(QObject& parent, const char* name)
{
    QTest::mouseClick(button(parent, name), Qt::LeftButton);
}

QString logText(TestSoftware& window)
{
    return child<QPlainTextEdit>(window, "txtLog")->toPlainText();
}

bool fiveButtonsEnabled(TestSoftware& window, bool enabled)
{
    for (const char* name : fiveButtons) {
        if (button(window, name)->isEnabled() != enabled)
            return false;
    }
    return true;
}

// The LED confirmation, then until the chain and the MAC worker have both reported.
void runChain(TestSoftware& window)
{
    click(window, "btnLEDOK");
    QTRY_VERIFY_WITH_TIMEOUT(button(window, "btnLEDOK")->isEnabled(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(window.findChildren<AssignMacs*>().isEmpty(), 30000);
}

void fetchAdditionals(TestSoftware& window, const Station& station)
{
    QVERIFY(QMetaObject::invokeMethod(&window, "downloadAdditionals"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(station.additionalsMarker()), 20000);
}
} // namespace

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
        TestSoftware window;
        window.setFlashSession(&station.session);
        QCOMPARE(window.windowTitle(), QStringLiteral("Test Nimbrel"));
        QCOMPARE(window.size(), QSize(544, 869));
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
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
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("exit");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("log");
        QTest::newRow("test button") << "TESTTASTER"
                                     << "1"
                                     << "Der Test für den Test Taster ist fehlgeschlagen!"
                                     << "* Bitte Test Taster drücken!\n* Test Taster fehlgeschlagen\n";
        QTest::newRow("reset button") << "RESETTASTER"
                                      << "1"
                                      << "Der Test für den Reset Taster ist fehlgeschlagen!"
                                      << "* Bitte Test Taster drücken!\n* Test Taster ok\n"
                                         "* Bitte Reset Taster drücken!\n* Reset Taster fehlgeschlagen\n";
        QTest::newRow("interfaces") << "INTERFACES"
                                    << "1"
                                    << "Der Test für Intefaces ist fehlgeschlagen!"
                                    << "* Bitte Test Taster drücken!\n* Test Taster ok\n"
                                       "* Bitte Reset Taster drücken!\n* Reset Taster ok\n"
                                       "* Schnittstellen Test nok\n";
        QTest::newRow("test button crashes")
            << "TESTTASTER"
            << "crash"
            << "Der Test für den Test Taster ist fehlgeschlagen!"
            << "* Bitte Test Taster drücken!\n* Test Taster fehlgeschlagen\n";
        QTest::newRow("reset button hangs")
            << "RESETTASTER"
            << "hang"
            << "Der Test für den Reset Taster ist fehlgeschlagen!"
            << "* Bitte Test Taster drücken!\n* Test Taster ok\n"
               "* Bitte Reset Taster drücken!\n* Reset Taster fehlgeschlagen\n";
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();

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
        QTest::addColumn<QString>("buttonName");
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("checkBox");
        QTest::newRow("test button") << "btnTestTasterTest"
                                     << "TESTTASTER"
                                     << "cbTestTaster";
        QTest::newRow("reset button") << "btnTestTasterReset"
                                      << "RESETTASTER"
                                      << "cbResetTaster";
        QTest::newRow("interfaces") << "btnStartTests"
                                    << "INTERFACES"
                                    << "cbInterfaces";
    }

    void singleTestRunsAlone()
    {
        QFETCH(QString, buttonName);
        QFETCH(QString, role);
        QFETCH(QString, checkBox);
        Station station;
        QVERIFY(station.start());
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
        runChain(window);

        const QStringList shown = MessageBox::takeShownTextsForTesting();
        QVERIFY(shown.contains("MAC-Adresse von eth1 konnte nicht gelesen werden!"));
        QVERIFY(!button(window, "btnOpenPrintDialog")->isEnabled());
        QVERIFY(station.sim.requests("/api/v1/assignMacAddresses").isEmpty());
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

    void resetCyclesThePower()
    {
        Station station;
        QVERIFY(station.start());
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
        click(window, "btnReset");
        QCOMPARE(station.roleArgs("RELAY"), (QStringList{"5|OFF", "8|OFF", "5|ON", "8|ON"}));
        QVERIFY(window.isEnabled());
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

    void failedInterfaceTestShowsTheNewestLog_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("shown");
        QTest::newRow("two files") << "two files"
                                   << "INTERFACES NOK eth1\nline 2\n";
        QTest::newRow("newest is a subdirectory") << "subdirectory"
                                                  << "";
        QTest::newRow("missing folder") << "missing"
                                        << "";
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
        TestSoftware window;
        window.setFlashSession(&station.session);
        window.show();
        runChain(window);

        QCOMPARE(logText(window), "* Bitte Test Taster drücken!\n* Test Taster ok\n"
                                  "* Bitte Reset Taster drücken!\n* Reset Taster ok\n"
                                  "* Schnittstellen Test nok\n" +
                                      shown);
    }
};

NIMBREL_TEST_MAIN(TestTestSoftware)
#include "tst_testsoftware.moc"
