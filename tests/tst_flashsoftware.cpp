#include "datarows.h"
#include "flashsoftware.h"
#include "jobchain.h"
#include "testmain.h"
#include "teststation.h"

#include <QPointer>
#include <QProgressBar>

using namespace teststation;

namespace {
// A flash dialog on a sandboxed station, the previous device's serial number in the job record
// and this job's image in place. Tests start the steps by the client's signals.
struct Bench
{
    TestEnvironment env;
    LogCapture log;
    FlashSession session;
    QPointer<FlashSoftware> dialog = new FlashSoftware;

    explicit Bench(int tickMs = 100000, int microcontrollerWaitMs = 300)
    {
        StationTimings timings;
        timings.progressTickMs = tickMs;
        timings.microcontrollerWaitMs = microcontrollerWaitMs;
        timings.flashPauseMs = 0;
        StationTimings::setForTesting(timings);
        session.setArticle("4r0417");
        session.setSwVersion("1.2.0-dev");
        session.setImage("nimbrel-4r0417");
        session.setOrderNumber("G1234567");
        session.setSerialNumber("2399999");
        dialog->setFlashSession(&session);
        client()->setFlashSession(&session);
        writeFile(env.path("images/nimbrel-4r0417-1.2.0-dev.img"), "img");
        dialog->show();
    }
    ~Bench() { delete dialog.data(); }

    ConfigManager* client() { return dialog->findChild<ConfigManager*>(); }
    int bar() { return child<QProgressBar>(*dialog, "pbStatus")->value(); }
    // The step boxes in order ("x" ticked), then the buttons that can be pressed:
    // O weiter, R flashen, C abbrechen.
    QString state()
    {
        QString text;
        for (const char* name : {"cbDownloadImage", "cbEMSSerialnumberassigned", "cbDownloadConfig",
                                 "cbFlashFirmware", "cbRebootNimbrel", "cbFlashMSP"})
            text += child<QCheckBox>(*dialog, name)->isChecked() ? 'x' : '-';
        text += ' ';
        for (const char* name : {"btnOpenPrintDialog", "btnRetry", "btnCancel"})
            text += button(*dialog, name)->isEnabled() ? QString(name).mid(3, 1) : "";
        return text;
    }
    QStringList runs() // every script run: its role and arguments
    {
        QStringList lines;
        for (const QJsonObject& run : env.scriptRuns())
            lines << (QStringList{run.value("role").toString()} + argsOf(run)).join(' ');
        return lines;
    }
};
} // namespace

class TestFlashSoftware : public QObject
{
    Q_OBJECT
private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void opensIdleAndKeepsOpen()
    {
        Bench bench;
        QCOMPARE(bench.dialog->windowTitle(), QStringLiteral("Flash Nimbrel"));
        QCOMPARE(bench.state(), QStringLiteral("------ C"));
        QVERIFY(QTest::qWaitForWindowExposed(bench.dialog));
        QTest::keyClick(bench.dialog, Qt::Key_Escape);
        QVERIFY(!bench.dialog->close());
        QVERIFY(bench.dialog->isVisible());
    }

    void chain_data()
    {
        addColumns({"swVersion", "image", "imageFile", "sentVersion"});
        addRows({{"release", "1.2.0-dev", "nimbrel-4r0417", "nimbrel-4r0417-1.2.0-dev.img", "1.2.0-dev"},
                 {"snap", "1.2.3-snap", "4r0417", "4r0417-1.2.3-snap-2024-05-17-a1b2c3.img", "1.2.3-dev"}});
    }
    void chain()
    {
        Bench bench;
        Simulator sim;
        QVERIFY(goOnline(bench.env, sim));
        bench.session.setSwVersion(cell("swVersion"));
        bench.session.setImage(cell("image"));
        bench.session.setSnapImageName("4r0417-1.2.3-snap-2024-05-17-a1b2c3");
        const QString image = bench.env.path("images/" + cell("imageFile"));
        writeFile(image, "img");
        QSignalSpy values(child<QProgressBar>(*bench.dialog, "pbStatus"), &QProgressBar::valueChanged);
        emit bench.client()->downloadImageComplete(QString());
        QTRY_VERIFY_WITH_TIMEOUT(bench.state().startsWith("xxxxxx"), 60000);

        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
        QCOMPARE(bench.state(), QStringLiteral("xxxxxx OC"));
        QStringList steps; // the progress clock never ticks here: only the steps move the bar
        for (const QList<QVariant>& change : values)
            steps << change.first().toString();
        QCOMPARE(steps.join(' '), QStringLiteral("25 50 75 175 190 265"));
        QCOMPARE(Simulator::queryString(sim.requests("/api/v1/assignSerialNumber").value(0)),
                 "article=4r0417&version=" + cell("sentVersion") + "&emsSerialNumber=G1234567");
        QCOMPARE(Simulator::queryString(sim.requests("/api/v1/configs").value(0)),
                 QStringLiteral("article=4r0417&serialNumber=2400001"));
        const TestEnvironment& env = bench.env;
        QCOMPARE(bench.runs(), QStringList({"FLASH -i " + image + " -a " + env.path("configs/extract/") +
                                                " -s 2400001 -l " + env.path("log/") + " -t",
                                            "RELAY 5 OFF", "RELAY 8 OFF", "RELAY 5 ON", "RELAY 8 ON"}));
        const QJsonObject flash = env.scriptRuns("FLASH").value(0);
        QCOMPARE(flash.value("program").toString() + ' ' + flash.value("cwd").toString(),
                 "./4R0417_stage1.sh " + env.stationDir() + "/flash");
        int at = 0;
        for (const char* line :
             {"download Image complete", "assign Serial Number", "assinged serialnumber 2400001",
              "download Config", "flash firmware", "SUCCESS", "restartNimbrel"})
            QVERIFY2((at = bench.log.indexOf(line, at)) >= 0, line);

        click(*bench.dialog, "btnOpenPrintDialog"); // "weiter": the test window takes the device
        QVERIFY(!bench.dialog->isVisible());
        TestSoftware* next = bench.dialog->findChild<TestSoftware*>();
        QVERIFY(next && next->isVisible());
        QCOMPARE(child<QLabel>(*next, "lblSeriennummerTarvelin")->text(), QStringLiteral("2400001"));
    }

    void progressClock()
    {
        const int tick = 5;
        Bench bench(tick, 1500);
        TestEnvironment::setScriptDelay("FLASH", 3);
        emit bench.client()->downloadConfigComplete(QString());
        // While the script runs the bar climbs to 175 and waits there; its output is logged meanwhile.
        QTRY_COMPARE_WITH_TIMEOUT(bench.bar(), 175, 2800);
        QTest::qWait(30 * tick);
        QCOMPARE(bench.bar(), 175);
        QVERIFY(bench.runs().isEmpty());
        QVERIFY(bench.log.contains("Flashen für Seriennummer 2399999 gestartet"));
        // After the reboot it creeps on from 190 until the microcontroller wait is over, then stays.
        QTRY_VERIFY_WITH_TIMEOUT(bench.bar() > 192, 15000);
        QCOMPARE(bench.state(), QStringLiteral("--xxx- C"));
        QTRY_VERIFY_WITH_TIMEOUT(bench.state().startsWith("--xxxx"), 5000);
        QTest::qWait(30 * tick);
        QCOMPARE(bench.bar(), 265);
    }

    // step: the client signal sent (serial: "number|warning"); setup: what the flash step finds
    void stepFails_data()
    {
        addColumns({"step", "argument", "setup", "box", "state", "flashRuns", "logLine"});
        const QString noSerial = "W:Keine gültige Seriennummer vom Server erhalten!";
        const QString failed = "C:Flashvorgang fehlgeschlagen!", refused = "C:Flashvorgang fehlgeschlagen: "
                                                                           "Image-Datei fehlt oder ist keine "
                                                                           "reguläre Datei im Image-Ordner: ";
        // clang-format off
        addRows({{"image", "image", "Image fehlt", "", "W:Image fehlt", "------ RC", "0", ""},
                 {"serial refused", "serial", "|Auftrag gesperrt", "", "W:Auftrag gesperrt", "------ C", "0", ""},
                 {"no serial", "serial", "|", "", noSerial, "------ C", "0", ""},
                 {"serial leaves its folder", "serial", "../24|", "", noSerial, "------ C", "0", ""},
                 {"config", "config", "Konfiguration fehlt", "", "W:Konfiguration fehlt", "------ RC", "0", ""},
                 {"flash exit 1", "config", "", "exit:1", failed, "--x--- RC", "1", "ERROR"},
                 {"flash crash", "config", "", "exit:crash", failed, "--x--- RC", "1", "error enum val = Crashed"},
                 {"flash script missing", "config", "", "script:./fehlt.sh", failed, "--x--- RC", "0",
                  "error enum val = FailedToStart"},
                 {"image missing", "config", "", "image:missing", refused, "--x--- RC", "0", "Not flashing"},
                 {"image a link", "config", "", "image:link", refused, "--x--- RC", "0", ""},
                 {"image outside ImagePath", "config", "", "image:outside", refused, "--x--- RC", "0", ""}});
        // clang-format on
    }
    void stepFails()
    {
        const int tick = 20;
        Bench bench(tick);
        const QString kind = cell("setup").section(':', 0, 0), value = cell("setup").section(':', 1);
        const QString image = bench.env.path("images/nimbrel-4r0417-1.2.0-dev.img");
        if (kind == "exit")
            TestEnvironment::setScriptExit("FLASH", value);
        if (kind == "script")
            Settings::setValue("FlashScriptName", value);
        if (kind == "image")
            QVERIFY(QFile::remove(image));
        if (value == "link") { // to a regular image beside it: still not the file the station unpacked
            writeFile(bench.env.path("images/other.img"), "img");
            QVERIFY(QFile::link(bench.env.path("images/other.img"), image));
        }
        if (value == "outside") {
            bench.session.setImage("../nimbrel-4r0417");
            writeFile(bench.env.path("nimbrel-4r0417-1.2.0-dev.img"), "img");
        }
        const QString step = cell("step"), argument = cell("argument");
        if (step == "image")
            emit bench.client()->downloadImageComplete(argument);
        else if (step == "serial")
            emit bench.client()->assingedSerialnummber(argument.section('|', 0, 0), argument.section('|', 1));
        else
            emit bench.client()->downloadConfigComplete(argument);

        QList<MessageBox::Shown> shown;
        QTRY_VERIFY_WITH_TIMEOUT(!(shown += MessageBox::takeShownForTesting()).isEmpty(), 20000);
        QCOMPARE(shown.size(), 1);
        const QString box = cell("box");
        QCOMPARE((shown.first().kind == MessageBox::Warning ? "W:" : "C:") + shown.first().text,
                 box.endsWith(": ") ? box + bench.env.path("images/") + bench.session.imageFileName() : box);
        QCOMPARE(bench.state(), cell("state"));
        QCOMPARE(QString::number(bench.env.scriptRuns("FLASH").size()), cell("flashRuns"));
        QVERIFY(bench.log.contains(cell("logLine")));
        QCOMPARE(bench.session.serialNumber(), QStringLiteral("2399999")); // never the previous device's
        const int frozen = bench.bar();                                    // the progress clock has stopped
        QTest::qWait(10 * tick);
        QCOMPARE(bench.bar(), frozen);
        QVERIFY(bench.env.scriptRuns("RELAY").isEmpty());
    }

    // The flash script is left to end its write unless the dialog goes; its result belongs to no job.
    void leftWhileFlashing_data()
    {
        addColumns({"how", "flashExit"});
        addRows({{"abbrechen", "cancel", "0"},
                 {"job retired", "retire", "0"},
                 {"dialog deleted", "delete", "-15"}});
    }
    void leftWhileFlashing()
    {
        Bench bench;
        TestEnvironment::setScriptDelay("FLASH", 1.5);
        emit bench.client()->downloadConfigComplete(QString());
        QTRY_VERIFY(bench.log.contains("Flashen für Seriennummer"));
        const QString how = cell("how");
        if (how == "cancel")
            click(*bench.dialog, "btnCancel");
        else if (how == "retire")
            JobChain::retire(bench.dialog);
        else
            delete bench.dialog;
        QVERIFY(!bench.dialog || (!bench.dialog->isVisible()) == (how == "cancel"));
        QTRY_COMPARE_WITH_TIMEOUT(bench.runs().size(), 1, 10000);
        QCOMPARE(QString::number(bench.env.scriptRuns("FLASH").value(0).value("exit").toInt()),
                 cell("flashExit"));
        if (how != "delete")
            QTRY_VERIFY(bench.log.contains("result ignored"));
        QTest::qWait(100);
        QCOMPARE(bench.runs().size(), 1); // no relay or power script after it
        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    }

    void retryCyclesPowerAndRemovesThisDevicesConfig()
    {
        Bench bench;
        const QStringList gone{"configs/extract/stale.pdf", "configs/extract/sub/x.txt",
                               "configs/nimbrel-4r0417-1.2.0-dev-2399999.tar.gz"};
        const QString kept = "configs/nimbrel-4r0417-1.2.0-dev-2400555.tar.gz";
        for (const QString& name : gone + QStringList{kept})
            writeFile(bench.env.path(name), {});
        emit bench.client()->downloadConfigComplete("Konfiguration fehlt");
        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList{"Konfiguration fehlt"});
        click(*bench.dialog, "btnRetry");
        QCOMPARE(bench.runs(), QStringList({"RELAY 5 OFF", "RELAY 8 OFF", "RELAY 5 ON", "RELAY 8 ON"}));
        for (const QString& name : gone)
            QVERIFY2(!QFileInfo::exists(bench.env.path(name)), qPrintable(name));
        QVERIFY(QFileInfo::exists(bench.env.path(kept)));
        QCOMPARE(bench.state(), QStringLiteral("------ C"));
    }
};

NIMBREL_TEST_MAIN(TestFlashSoftware)
#include "tst_flashsoftware.moc"
