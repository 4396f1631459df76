#include "datarows.h"
#include "flashsoftware.h"
#include "powercontrol.h"
#include "testmain.h"
#include "teststation.h"

#include <QPointer>
#include <QProgressBar>

using namespace teststation;

namespace {
StationTimings fastTimings(int microcontrollerWaitMs = 300, int progressTickMs = 10)
{
    StationTimings timings;
    timings.microcontrollerWaitMs = microcontrollerWaitMs;
    timings.progressTickMs = progressTickMs;
    timings.flashPauseMs = 0;
    return timings;
}

// The fake flash script refuses an image file that is not there.
struct CheckImage
{
    CheckImage() { qputenv("NIMBREL_FAKE_CHECK_IMAGE", "1"); }
    ~CheckImage() { qunsetenv("NIMBREL_FAKE_CHECK_IMAGE"); }
};

// A flash dialog with the previous device's job on a sandboxed station.
struct Bench
{
    TestEnvironment env;
    Simulator sim;
    LogCapture log;
    FlashSession session;
    QPointer<FlashSoftware> dialog = new FlashSoftware;

    explicit Bench(const StationTimings& timings = fastTimings(), const QString& swVersion = "1.2.0-dev")
    {
        StationTimings::setForTesting(timings);
        session.setArticle(QStringLiteral("4r0417"));
        session.setSwVersion(swVersion);
        session.setImage(QStringLiteral("nimbrel-4r0417"));
        session.setOrderNumber(QStringLiteral("G1234567"));
        session.setSerialNumber(QStringLiteral("2399999")); // the previous device's
        dialog->setFlashSession(&session);
    }
    ~Bench() { delete dialog.data(); }

    bool online(const QStringList& arguments = {})
    {
        if (!sim.start(arguments))
            return false;
        env.pointAt(sim.baseUrl());
        return true;
    }
    // Lets step 3 report success, which starts the flash script.
    void configDownloaded() { emit dialog->findChild<ConfigManager*>()->downloadConfigComplete(QString()); }

    bool ticked(const char* name) { return child<QCheckBox>(*dialog, name)->isChecked(); }
    int bar() { return child<QProgressBar>(*dialog, "pbStatus")->value(); }

    // The step boxes in their order, as ticked marks ("x") and blanks ("-").
    QString ticks()
    {
        QString marks;
        for (const char* name : {"cbDownloadImage", "cbEMSSerialnumberassigned", "cbDownloadConfig",
                                 "cbFlashFirmware", "cbRebootNimbrel", "cbFlashMSP"})
            marks += ticked(name) ? QLatin1Char('x') : QLatin1Char('-');
        return marks;
    }

    // Which of weiter / flashen / abbrechen can be pressed.
    QString buttons()
    {
        QStringList enabled;
        for (const char* name : {"btnOpenPrintDialog", "btnRetry", "btnCancel"}) {
            if (button(*dialog, name)->isEnabled())
                enabled << QLatin1String(name);
        }
        return enabled.join(QLatin1Char(' '));
    }

    // Method and path of every request the server side saw, in order.
    QStringList requestLines() const
    {
        QStringList lines;
        for (const QJsonObject& request : sim.requests())
            lines << request.value("method").toString() + QLatin1Char(' ') + request.value("path").toString();
        return lines;
    }
};

const QString imageRequest = "GET /cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz";

QList<MessageBox::Shown> waitForBoxes()
{
    QList<MessageBox::Shown> shown;
    for (int i = 0; i < 1000 && shown.isEmpty(); ++i) {
        QTest::qWait(20);
        shown += MessageBox::takeShownForTesting();
    }
    return shown;
}
} // namespace

class TestFlashSoftware : public QObject
{
    Q_OBJECT
private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void opensIdleAndEscapeAndCloseDoNothing();
    void wholeChain_data();
    void wholeChain();
    void stepFailures_data();
    void stepFailures();
    void serialWithoutWarningStillChecked_data();
    void serialWithoutWarningStillChecked();
    void retryAfterFailedImageDownload();
    void imageDownloadMovesBar();
    void flashFailure_data();
    void flashFailure();
    void progressRuleAndOutputAsItArrives();
    void cancelDuringFlashing();
    void deletedWhileFlashing();
    void deletedWhileRebooting();
};

void TestFlashSoftware::opensIdleAndEscapeAndCloseDoNothing()
{
    Bench bench;
    QCOMPARE(bench.buttons(), QStringLiteral("btnCancel"));
    QCOMPARE(bench.ticks(), QStringLiteral("------"));
    QCOMPARE(child<QProgressBar>(*bench.dialog, "pbStatus")->maximum(), 265);
    bench.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(bench.dialog));
    QTest::keyClick(bench.dialog, Qt::Key_Escape);
    QVERIFY(bench.dialog->isVisible());
    QVERIFY(!bench.dialog->close());
    QVERIFY(bench.dialog->isVisible());
}

void TestFlashSoftware::wholeChain_data()
{
    // The server knows snapshots by their dev version.
    addColumns({"swVersion", "image", "snapImageName", "serverPath", "imageFile", "sentVersion"});

    const QString snap = "4r0417-1.2.3-snap-2024-05-17-a1b2c3";
    addRows({{"release", "1.2.0-dev", "nimbrel-4r0417", "",
              "/cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz", "nimbrel-4r0417-1.2.0-dev.img",
              "1.2.0-dev"},
             {"release, snap without hyphen", "1.2.0snap", "nimbrel-4r0417", snap,
              "/cls/nimbrel-4r0417/1.2.0snap/nimbrel-4r0417-1.2.0snap-img.tar.gz",
              "nimbrel-4r0417-1.2.0snap.img", "1.2.0dev"},
             {"snap", "1.2.3-snap", "4r0417", snap, "/cls/4r0417/snapshots/" + snap + "-img.tar.gz",
              snap + ".img", "1.2.3-dev"}});
}

void TestFlashSoftware::wholeChain()
{
    QFETCH(QString, swVersion);
    QFETCH(QString, image);
    QFETCH(QString, snapImageName);
    QFETCH(QString, serverPath);
    QFETCH(QString, imageFile);
    QFETCH(QString, sentVersion);

    Bench bench(fastTimings(), swVersion);
    QVERIFY(bench.online());
    CheckImage checkImage;
    bench.session.setImage(image);
    bench.session.setSnapImageName(snapImageName);
    bench.session.setSnapDate(QStringLiteral("2024-05-17"));
    bench.session.setCommitHash(QStringLiteral("a1b2c3"));
    bench.dialog->show();
    bench.dialog->startFlashSequence();
    QTRY_VERIFY_WITH_TIMEOUT(bench.ticked("cbFlashMSP"), 60000);

    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    QCOMPARE(bench.ticks(), QStringLiteral("xxxxxx"));
    QCOMPARE(bench.bar(), 265);
    QCOMPARE(bench.buttons(), QStringLiteral("btnOpenPrintDialog btnCancel"));
    QCOMPARE(bench.session.serialNumber(), QStringLiteral("2400001"));

    QCOMPARE(bench.requestLines(),
             QStringList({"GET " + serverPath, "PUT /api/v1/assignSerialNumber", "GET /api/v1/configs"}));
    QCOMPARE(Simulator::queryString(bench.sim.requests("/api/v1/assignSerialNumber").value(0)),
             "article=4r0417&version=" + sentVersion + "&emsSerialNumber=G1234567");
    QCOMPARE(Simulator::queryString(bench.sim.requests("/api/v1/configs").value(0)),
             QStringLiteral("article=4r0417&serialNumber=2400001"));

    const TestEnvironment& env = bench.env;
    const QList<QJsonObject> flashes = env.scriptRuns(QStringLiteral("FLASH"));
    QCOMPARE(flashes.size(), 1);
    const QJsonObject flash = flashes.first();
    QCOMPARE(flash.value("program").toString(), QStringLiteral("./4R0417_stage1.sh"));
    QCOMPARE(flash.value("cwd").toString(), env.stationDir() + QStringLiteral("/flash"));
    QCOMPARE(argsOf(flash),
             QStringList({"-i", env.path("images/" + imageFile), "-a", env.path("configs/extract/"), "-s",
                          "2400001", "-l", env.path("log/"), "-t"}));
    QCOMPARE(flash.value("exit").toInt(), 0); // the image file was there

    // The power cycle comes after the flash script has ended.
    for (const QJsonObject& run : env.scriptRuns(QStringLiteral("RELAY")))
        QVERIFY(run.value("start").toDouble() >= flash.value("end").toDouble());
    QCOMPARE(roleArgs(env, "RELAY"), QStringList({"5|OFF", "8|OFF", "5|ON", "8|ON"}));

    // "weiter" hands the device over to the test window.
    click(*bench.dialog, "btnOpenPrintDialog");
    QVERIFY(!bench.dialog->isVisible());
    const QList<TestSoftware*> testWindows = bench.dialog->findChildren<TestSoftware*>();
    QCOMPARE(testWindows.size(), 1);
    QVERIFY(testWindows.first()->isVisible());
    QCOMPARE(child<QLabel>(*testWindows.first(), "lblSeriennummerTarvelin")->text(),
             QStringLiteral("2400001"));

    int at = 0;
    for (const char* line : {"download Image complete", "assign Serial Number",
                             "assinged serialnumber 2400001", "download Config", "flash firmware",
                             "Flashen für Seriennummer 2400001", "SUCCESS", "restartNimbrel"}) {
        at = bench.log.indexOf(line, at);
        QVERIFY2(at >= 0, qPrintable(line));
    }
}

void TestFlashSoftware::stepFailures_data()
{
    // warning: "…" stands for the start of the client's error text; requests: method and path, by "|"
    addColumns({"endpoint", "fault", "warning", "ticked", "progress", "enabled", "requests"});
    const QString noSerial = "Keine gültige Seriennummer vom Server erhalten!";
    const QString stopped = "btnCancel", retry = "btnRetry btnCancel";
    const QString assigned = imageRequest + "|PUT /api/v1/assignSerialNumber";
    addRows({{"image", "image", "status:404:", "… - server replied: Not Found", "------", "0", retry,
              imageRequest},
             {"serial refused", "assignSerialNumber", R"(status:422:{"message":"Auftrag gesperrt"})",
              "Auftrag gesperrt", "x-----", "25", stopped, assigned},
             {"no serial", "assignSerialNumber", R"(status:200:{"serialNumber":""})", noSerial, "x-----",
              "25", stopped, assigned},
             {"serial with a slash", "assignSerialNumber", R"(status:200:{"serialNumber":"../24"})", noSerial,
              "x-----", "25", stopped, assigned},
             {"config", "configs", R"(status:500:{"message":"Konfiguration fehlt"})", "Konfiguration fehlt",
              "xx----", "50", retry, assigned + "|GET /api/v1/configs"},
             {"config already there", "", "", "Konfigurationsdatein sind bereits heruntergeladen!", "xx----",
              "50", retry, assigned}});
}

void TestFlashSoftware::stepFailures()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, fault);
    QFETCH(QString, warning);
    QFETCH(QString, ticked);
    QFETCH(QString, progress);
    QFETCH(QString, enabled);
    QFETCH(QString, requests);

    Bench bench;
    QVERIFY(bench.online());
    if (!endpoint.isEmpty())
        QVERIFY(bench.sim.setFault(endpoint, fault));
    else // left behind for the serial number the simulator hands out first
        writeFile(bench.env.path("configs/nimbrel-4r0417-1.2.0-dev-2400001.tar.gz"), {});
    bench.dialog->show();
    bench.dialog->startFlashSequence();

    const QList<MessageBox::Shown> shown = waitForBoxes();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().kind, MessageBox::Warning);
    if (warning.startsWith(QChar(0x2026)))
        QVERIFY2(shown.first().text.endsWith(warning.mid(1)), qPrintable(shown.first().text));
    else
        QCOMPARE(shown.first().text, warning);
    QCOMPARE(bench.ticks(), ticked);
    QCOMPARE(QString::number(bench.bar()), progress);
    QCOMPARE(bench.buttons(), enabled);
    QCOMPARE(bench.requestLines().join('|'), requests);
    QVERIFY(bench.env.scriptRuns(QStringLiteral("FLASH")).isEmpty());
    QVERIFY(bench.env.scriptRuns(QStringLiteral("RELAY")).isEmpty());
    if (ticked == QLatin1String("x-----")) // never the previous device's number
        QCOMPARE(bench.session.serialNumber(), QStringLiteral("2399999"));
}

void TestFlashSoftware::serialWithoutWarningStillChecked_data()
{
    QTest::addColumn<QString>("serialNumber");
    QTest::newRow("empty") << "";
    QTest::newRow("leaves its folder") << "../2400001";
}

// Whatever the client lets through: no number, no flash with the previous device's number.
void TestFlashSoftware::serialWithoutWarningStillChecked()
{
    QFETCH(QString, serialNumber);
    Bench bench;
    QVERIFY(bench.online());
    emit bench.dialog->findChild<ConfigManager*>()->assingedSerialnummber(serialNumber, QString());

    QCOMPARE(MessageBox::takeShownTextsForTesting(),
             QStringList{QStringLiteral("Keine gültige Seriennummer vom Server erhalten!")});
    QCOMPARE(bench.session.serialNumber(), QStringLiteral("2399999"));
    QCOMPARE(bench.ticks(), QStringLiteral("------"));
    QCOMPARE(bench.buttons(), QStringLiteral("btnCancel"));
    QTest::qWait(50);
    QVERIFY(bench.sim.requests().isEmpty());
}

void TestFlashSoftware::retryAfterFailedImageDownload()
{
    Bench bench;
    QVERIFY(bench.online());
    QVERIFY(bench.sim.setFault(QStringLiteral("image"), QStringLiteral("status:500:"), 1));

    // What an earlier attempt left: the extracted folder and this device's config archive,
    // next to another device's archive that must stay.
    const QStringList gone{"configs/extract/stale.pdf", "configs/extract/sub/x.txt",
                           "configs/nimbrel-4r0417-1.2.0-dev-2399999.tar.gz"};
    const QString kept = "configs/nimbrel-4r0417-1.2.0-dev-2400555.tar.gz";
    for (const QString& name : gone + QStringList{kept})
        writeFile(bench.env.path(name), {});

    bench.dialog->show();
    bench.dialog->startFlashSequence();
    QCOMPARE(waitForBoxes().size(), 1);
    QCOMPARE(bench.buttons(), QStringLiteral("btnRetry btnCancel"));
    QCOMPARE(bench.bar(), 0);

    bench.env.clearScriptRuns();
    click(*bench.dialog, "btnRetry");
    QTRY_VERIFY_WITH_TIMEOUT(bench.ticked("cbFlashMSP"), 60000);

    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    QCOMPARE(bench.buttons(), QStringLiteral("btnOpenPrintDialog btnCancel"));
    for (const QString& name : gone)
        QVERIFY2(!QFileInfo::exists(bench.env.path(name)), qPrintable(name));
    QVERIFY(QFile::exists(bench.env.path(kept)));
    QVERIFY(QFile::exists(bench.env.path("configs/nimbrel-4r0417-1.2.0-dev-2400001.tar.gz")));
    QCOMPARE(bench.requestLines(), QStringList({imageRequest, imageRequest, "PUT /api/v1/assignSerialNumber",
                                                "GET /api/v1/configs"}));

    // Power cycle of the retry, the flash, then the reboot's power cycle.
    QStringList order;
    for (const QJsonObject& run : bench.env.scriptRuns())
        order << run.value("role").toString() + QLatin1Char(' ') +
                     argsOf(run).mid(0, 2).join(QLatin1Char(' '));
    const QStringList cycle{"RELAY 5 OFF", "RELAY 8 OFF", "RELAY 5 ON", "RELAY 8 ON"};
    QCOMPARE(order, cycle + QStringList{"FLASH -i " + bench.env.path("images/nimbrel-4r0417-1.2.0-dev.img")} +
                        cycle);
}

void TestFlashSoftware::imageDownloadMovesBar()
{
    Bench bench;
    QVERIFY(bench.online({QStringLiteral("--image-size"), QStringLiteral("4M")}));
    QVERIFY(bench.sim.setFault(QStringLiteral("image"), QStringLiteral("slow:4000000")));
    QSignalSpy values(child<QProgressBar>(*bench.dialog, "pbStatus"), &QProgressBar::valueChanged);
    bench.dialog->startFlashSequence();
    QTRY_VERIFY_WITH_TIMEOUT(bench.ticked("cbDownloadImage"), 30000);

    QList<int> during; // up to the end of the image step; later steps may already have run
    for (const QList<QVariant>& change : values) {
        during << change.at(0).toInt();
        if (during.last() == 25)
            break;
    }
    QVERIFY2(during.size() >= 3, qPrintable(QString::number(during.size())));
    QCOMPARE(during.last(), 25);
    for (int i = 1; i < during.size(); ++i)
        QVERIFY(during.at(i) > during.at(i - 1));
    QVERIFY(during.first() > 0 && during.first() < 25);
}

void TestFlashSoftware::flashFailure_data()
{
    addColumns({"exit", "setting", "value", "logLine"});
    addRows({{"exit code 1", "1", "", "", "ERROR"},
             {"crash", "crash", "", "", "error enum val = Crashed"},
             {"script missing", "0", "FlashScriptName", "./fehlt.sh", "error enum val = FailedToStart"},
             {"folder missing", "0", "FlashScriptPath", "nirgends/", "error enum val = FailedToStart"}});
}

void TestFlashSoftware::flashFailure()
{
    QFETCH(QString, exit);
    QFETCH(QString, setting);
    QFETCH(QString, value);
    QFETCH(QString, logLine);

    const int tick = 30; // slow enough that the bar cannot reach 175 before the script ends
    Bench bench(fastTimings(300, tick));
    TestEnvironment::setScriptExit(QStringLiteral("FLASH"), exit);
    if (setting == QLatin1String("FlashScriptName"))
        Settings::setValue(setting, value);
    else if (!setting.isEmpty())
        Settings::setValue(setting, bench.env.path(value));
    bench.configDownloaded();

    const QList<MessageBox::Shown> shown = waitForBoxes();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().kind, MessageBox::Critical);
    QCOMPARE(shown.first().text, QStringLiteral("Flashvorgang fehlgeschlagen!"));
    QCOMPARE(bench.buttons(), QStringLiteral("btnRetry btnCancel"));
    QCOMPARE(bench.ticks(), QStringLiteral("--x---"));
    QVERIFY(bench.log.contains(logLine));
    QVERIFY(!bench.log.contains(QStringLiteral("SUCCESS")));

    // The clock has stopped: the bar stays where the failure left it.
    const int frozen = bench.bar();
    QVERIFY2(frozen >= 75 && frozen < 175, qPrintable(QString::number(frozen)));
    QTest::qWait(10 * tick);
    QCOMPARE(bench.bar(), frozen);
    QVERIFY(bench.env.scriptRuns(QStringLiteral("RELAY")).isEmpty());
}

void TestFlashSoftware::progressRuleAndOutputAsItArrives()
{
    const int tick = 5;
    Bench bench(fastTimings(1500, tick));
    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 4);
    bench.configDownloaded();
    QCOMPARE(bench.bar(), 75);

    // While the script runs the bar climbs to 175 and waits there; its output is logged meanwhile.
    QTRY_COMPARE_WITH_TIMEOUT(bench.bar(), 175, 3500);
    QVERIFY(bench.log.contains(QStringLiteral("Flashen für Seriennummer 2399999 gestartet")));
    QTest::qWait(30 * tick);
    QVERIFY(bench.env.scriptRuns(QStringLiteral("FLASH")).isEmpty());
    QCOMPARE(bench.bar(), 175);
    QVERIFY(!bench.ticked("cbFlashFirmware"));

    // After the reboot it creeps on from 190 until the microcontroller wait is over.
    QTRY_VERIFY_WITH_TIMEOUT(bench.ticked("cbRebootNimbrel"), 15000);
    QVERIFY(bench.bar() >= 190);
    QTRY_VERIFY(bench.bar() > 192);
    QVERIFY(!bench.ticked("cbFlashMSP"));
    QTRY_VERIFY_WITH_TIMEOUT(bench.ticked("cbFlashMSP"), 5000);
    QCOMPARE(bench.bar(), 265);
    QTest::qWait(30 * tick);
    QCOMPARE(bench.bar(), 265);
    QVERIFY(bench.log.contains(QStringLiteral("Flashvorgang abgeschlossen")));
}

void TestFlashSoftware::cancelDuringFlashing()
{
    Bench bench;
    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 1.5);
    bench.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(bench.dialog));
    bench.configDownloaded();
    QTRY_VERIFY(bench.log.contains(QStringLiteral("Flashen für Seriennummer")));

    click(*bench.dialog, "btnCancel");
    QVERIFY(!bench.dialog->isVisible());
    QCOMPARE(bench.dialog->result(), 0);
    QVERIFY(bench.log.contains(QStringLiteral("cancel flashing")));

    // The script is left to finish its work.
    QTRY_COMPARE_WITH_TIMEOUT(bench.env.scriptRuns(QStringLiteral("FLASH")).size(), 1, 10000);
    QCOMPARE(bench.env.scriptRuns(QStringLiteral("FLASH")).first().value("exit").toInt(), 0);
}

void TestFlashSoftware::deletedWhileFlashing()
{
    Bench bench;
    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 20);
    bench.dialog->show();
    bench.configDownloaded();
    QTRY_VERIFY(bench.log.contains(QStringLiteral("Flashen für Seriennummer")));

    QElapsedTimer clock;
    clock.start();
    delete bench.dialog;
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(bench.log.contains(QStringLiteral("stopping the flash script")));

    const QList<QJsonObject> runs = bench.env.scriptRuns(QStringLiteral("FLASH"));
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().value("exit").toInt(), -15); // terminated
    QTest::qWait(50);
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

// The reboot's power cycle serves events between the relays; a job replaced meanwhile
// must not be touched when the wait returns.
void TestFlashSoftware::deletedWhileRebooting()
{
    Bench bench;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, this, [&bench] {
        if (bench.dialog && PowerControl::isWaiting())
            delete bench.dialog;
    });
    watcher.start(5);
    bench.configDownloaded();

    QTRY_VERIFY_WITH_TIMEOUT(!bench.dialog, 10000);
    QVERIFY(bench.log.contains(QStringLiteral("restartNimbrel")));
    QTest::qWait(200); // the rest of the power cycle and the microcontroller wait
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

NIMBREL_TEST_MAIN(TestFlashSoftware)
#include "tst_flashsoftware.moc"
