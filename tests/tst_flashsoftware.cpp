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

    explicit Bench(int tickMs = 100000)
    {
        StationTimings timings;
        timings.progressTickMs = tickMs;
        timings.microcontrollerWaitMs = 300;
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
    // The step boxes in order ("x" ticked), then the buttons enabled: O weiter, R flashen, C abbrechen.
    QString state()
    {
        QString text;
        for (const QCheckBox* step : dialog->findChildren<QCheckBox*>())
            text += step->isChecked() ? 'x' : '-';
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

    void chain()
    {
        Bench bench;
        Simulator sim;
        QVERIFY(goOnline(bench.env, sim));
        QCOMPARE(bench.dialog->windowTitle() + ' ' + bench.state(), QStringLiteral("Flash Nimbrel ------ C"));
        QTest::keyClick(bench.dialog, Qt::Key_Escape); // Escape and the close button leave it open
        QVERIFY(!bench.dialog->close() && bench.dialog->isVisible());
        QSignalSpy values(child<QProgressBar>(*bench.dialog, "pbStatus"), &QProgressBar::valueChanged);
        emit bench.client()->downloadImageComplete(QString());
        QTRY_COMPARE_WITH_TIMEOUT(bench.state(), QStringLiteral("xxxxxx OC"), 30000);
        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
        QStringList steps; // the progress clock never ticks here: only the steps move the bar
        for (const QList<QVariant>& change : values)
            steps << change.first().toString();
        QCOMPARE(steps.join(' '), QStringLiteral("25 50 75 175 190 265"));
        QStringList queries; // the number asked for this order, then its configuration
        for (const QJsonObject& request : sim.requests())
            queries << Simulator::queryString(request);
        QCOMPARE(queries, QStringList({"article=4r0417&version=1.2.0-dev&emsSerialNumber=G1234567",
                                       "article=4r0417&serialNumber=2400001"}));
        const TestEnvironment& env = bench.env;
        QCOMPARE(bench.runs(),
                 QStringList({"FLASH -i " + env.path("images/nimbrel-4r0417-1.2.0-dev.img") + " -a " +
                                  env.path("configs/extract/") + " -s 2400001 -l " + env.path("log/") + " -t",
                              "RELAY 5 OFF", "RELAY 8 OFF", "RELAY 5 ON", "RELAY 8 ON"}));
    }

    // step: the client signal sent (serial: "number|warning"); setup: what the flash step finds
    void stepFails_data()
    {
        addColumns({"step", "argument", "setup", "box", "state", "flashRuns"});
        const QString noSerial = "W:Keine gültige Seriennummer vom Server erhalten!";
        const QString failed = "C:Flashvorgang fehlgeschlagen!";
        const QString refused = "C:Flashvorgang fehlgeschlagen: Image-Datei fehlt oder ist keine reguläre "
                                "Datei im Image-Ordner: ";
        // clang-format off
        addRows({{"image", "image", "Image fehlt", "", "W:Image fehlt", "------ RC", "0"},
                 {"serial refused", "serial", "|Auftrag gesperrt", "", "W:Auftrag gesperrt", "------ C", "0"},
                 {"no serial", "serial", "|", "", noSerial, "------ C", "0"},
                 {"serial leaves its folder", "serial", "../24|", "", noSerial, "------ C", "0"},
                 {"config", "config", "Konfiguration fehlt", "", "W:Konfiguration fehlt", "------ RC", "0"},
                 {"flash exit 1", "config", "", "exit:1", failed, "--x--- RC", "1"},
                 {"flash script missing", "config", "", "script:./fehlt.sh", failed, "--x--- RC", "0"},
                 {"image missing", "config", "", "image:missing", refused, "--x--- RC", "0"},
                 {"image a link", "config", "", "image:link", refused, "--x--- RC", "0"},
                 {"image outside ImagePath", "config", "", "image:outside", refused, "--x--- RC", "0"}});
        // clang-format on
    }
    void stepFails()
    {
        Bench bench(20);
        const QString kind = cell("setup").section(':', 0, 0), value = cell("setup").section(':', 1);
        const QString image = bench.env.path("images/nimbrel-4r0417-1.2.0-dev.img");
        TestEnvironment::setScriptExit("FLASH", kind == "exit" ? value : "0");
        if (kind == "script")
            Settings::setValue("FlashScriptName", value);
        if (kind == "image") { // a link to a regular image beside it is not the file unpacked either
            QVERIFY(QFile::remove(image));
            const QString other =
                bench.env.path(value == "link" ? "images/other.img" : "nimbrel-4r0417-1.2.0-dev.img");
            writeFile(other, {});
            QVERIFY(value != "link" || QFile::link(other, image));
            bench.session.setImage(value == "outside" ? "../nimbrel-4r0417" : "nimbrel-4r0417");
        }
        const QString step = cell("step"), argument = cell("argument");
        ConfigManager* client = bench.client();
        step == "image" ? emit client->downloadImageComplete(argument)
        : step == "serial"
            ? emit client->assingedSerialnummber(argument.section('|', 0, 0), argument.section('|', 1))
            : emit client->downloadConfigComplete(argument);

        QList<MessageBox::Shown> shown;
        QTRY_VERIFY_WITH_TIMEOUT(!(shown += MessageBox::takeShownForTesting()).isEmpty(), 20000);
        QCOMPARE(shown.size(), 1);
        const QString box = cell("box");
        QCOMPARE((shown.first().kind == MessageBox::Warning ? "W:" : "C:") + shown.first().text,
                 box.endsWith(": ") ? box + bench.env.path("images/") + bench.session.imageFileName() : box);
        QCOMPARE(bench.state(), cell("state"));
        QCOMPARE(QString::number(bench.env.scriptRuns("FLASH").size()), cell("flashRuns"));
        QCOMPARE(bench.session.serialNumber(), QStringLiteral("2399999")); // never the previous device's
        const int frozen = bench.bar();                                    // the progress clock has stopped
        QTest::qWait(200);
        QCOMPARE(bench.bar(), frozen);
        QVERIFY(bench.env.scriptRuns("RELAY").isEmpty());
        if (!cell("state").contains('R'))
            return;
        // "flashen": a power cycle, then this device's extracted files and config archive go, nothing else
        const QStringList files{"configs/extract/x.pdf", "configs/nimbrel-4r0417-1.2.0-dev-2399999.tar.gz",
                                "configs/nimbrel-4r0417-1.2.0-dev-2400555.tar.gz",
                                "nimbrel-4r0417-1.2.0-dev-2399999.tar.gz"};
        for (const QString& name : files)
            writeFile(bench.env.path(name), {});
        click(*bench.dialog, "btnRetry");
        QCOMPARE(roleArgs(bench.env, "RELAY"), QStringList({"5|OFF", "8|OFF", "5|ON", "8|ON"}));
        QString left;
        for (const QString& name : files)
            left += QFileInfo::exists(bench.env.path(name)) ? '1' : '0';
        QCOMPARE(left, value == "outside" ? "0111" : "0011"); // an image name with "../" stays in its folder
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
        how == "cancel"   ? click(*bench.dialog, "btnCancel")
        : how == "retire" ? JobChain::retire(bench.dialog)
                          : delete bench.dialog;
        QVERIFY(!bench.dialog || (!bench.dialog->isVisible()) == (how == "cancel"));
        QTRY_COMPARE_WITH_TIMEOUT(bench.runs().size(), 1, 10000);
        QTRY_VERIFY(how == "delete" || bench.log.contains("result ignored"));
        QTest::qWait(100);
        const QList<QJsonObject> runs = bench.env.scriptRuns(); // no relay or power script after it
        QCOMPARE(runs.size(), 1);
        QCOMPARE(QString::number(runs.first().value("exit").toInt()), cell("flashExit"));
        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    }
};

NIMBREL_TEST_MAIN(TestFlashSoftware)
#include "tst_flashsoftware.moc"
