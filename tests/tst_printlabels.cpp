#include "datarows.h"
#include "jobchain.h"
#include "testmain.h"
#include "teststation.h"

using namespace teststation;

namespace {
// The label dialog of device 40001234 on a sandboxed station, its labels unpacked.
struct Bench
{
    TestEnvironment env;
    FlashSession session;
    PrintLabels dialog;
    const QString labels = env.path("configs/extract/labels/");

    explicit Bench(const QString& target = "configs/extract/")
    {
        Settings::setValue("DeviceConfigTargetPath", env.path(target));
        for (const char* name : {"device", "manual", "cabinet", "package"})
            writeFile(labels + name + ".pdf", "x");
        session.setImage("nimbrel-img");
        session.setSwVersion("1.4.2");
        session.setSerialNumber("40001234");
        dialog.setFlashSession(&session);
        dialog.show();
    }
    QString enabled() // label buttons 1 to 3, then C for the close button
    {
        QString marks;
        for (const char* name : {"btnPrintLabel1", "btnPrintLabel2", "btnPrintLabel3", "btnClose"})
            marks += button(dialog, name)->isEnabled() ? QString(name).right(1).replace('e', 'C') : "-";
        return marks;
    }
};
} // namespace

class TestPrintLabels : public QObject
{
    Q_OBJECT
private slots:
    void init() { MessageBox::takeShownForTesting(); }

    // steps, after labels 1 and 2: E1/E0 enableBtnClose(true/false), B3 label 3 (3 in the names), C the
    // close button; close: whether the close button can be pressed then.
    void printAndClose_data()
    {
        addColumns({"target", "steps", "close"});
        const QString t = "configs/extract/"; // DeviceConfigTargetPath
        // clang-format off
        addRows({{"3 alone", t, "B3", "-"}, {"allowed, then 3", t, "E1 B3", "C"},
                 {"3, then allowed", t, "B3 E1", "C"}, {"allowed, refused, 3", t, "E1 E0 B3", "-"},
                 {"refusal keeps it", t, "E1 B3 E0", "C"}, {"3 twice takes it back", t, "E1 B3 B3", "-"},
                 {"late allowance, 3", t, "B3 E1 B3", "C"}, {"closing resets", t, "E1 B3 C E1", "-"},
                 {"close", t, "B3 E1 C", "-"}, {"close, no / in folder", "configs/extract", "B3 E1 C", "-"}});
        // clang-format on
    }
    void printAndClose()
    {
        Bench bench(cell("target"));
        const QString configs = bench.env.path("configs/");
        const QStringList files{configs + "extract", configs + "nimbrel-img-1.4.2-40001234.tar.gz",
                                configs + "nimbrel-img-1.4.2-40001234-additionals.tar.gz",
                                configs + "nimbrel-img-1.4.2-40001235.tar.gz", configs + "other/keep.txt"};
        for (const QString& path : files.mid(1))
            writeFile(path, "x");
        qputenv("NIMBREL_FAKE_WATCH", files.first().toLocal8Bit()); // the relay runs note the device's files
        QStringList states{bench.dialog.windowTitle(), bench.enabled()};
        for (const char* name : {"btnPrintLabel1", "btnPrintLabel2"})
            click(bench.dialog, name), states << bench.enabled();
        QCOMPARE(states, QStringList({"Drucke Labels", "1---", "12--", "123-"}));
        const QStringList steps = cell("steps").split(' ');
        for (const QString& step : steps)
            step.startsWith('E') ? bench.dialog.enableBtnClose(step == "E1")
                                 : click(bench.dialog, step == "B3" ? "btnPrintLabel3" : "btnClose");
        QCOMPARE(bench.enabled().right(1), cell("close"));
        QCOMPARE(roleArgs(bench.env, "PRINT").join(' ').remove(bench.labels),
                 "device.pdf manual.pdf cabinet.pdf" + QString(" package.pdf").repeated(steps.count("B3")));
        const bool closed = steps.contains("C");
        QCOMPARE(bench.dialog.isVisible(), !closed);
        QCOMPARE(roleArgs(bench.env, "RELAY"), closed ? QStringList({"5|OFF", "8|OFF"}) : QStringList());
        for (const QJsonObject& run : bench.env.scriptRuns("RELAY")) // off before the files go
            QVERIFY(run.value("watched").toBool());
        QString left;
        for (const QString& path : files)
            left += QFileInfo::exists(path) ? '1' : '0';
        QCOMPARE(left, closed ? "00011" : "11111");
        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    }

    void printFails_data()
    {
        addColumns({"setup", "box", "prints"});
        const QString failed = "Drucken fehlgeschlagen fehlgeschlagen!";
        const QString refused = "Drucken fehlgeschlagen: Label-Datei fehlt oder ist keine reguläre Datei im "
                                "Label-Ordner: %1";
        // clang-format off
        addRows({{"exit code 1", "exit:1", failed, "1"}, {"crash", "exit:crash", failed, "1"},
                 {"script missing", "script", failed, "0"}, {"label missing", "missing", refused, "0"},
                 {"label is a link", "link", refused, "0"},
                 {"labels folder links out", "folder", refused, "0"}, {"job retired", "retired", "", "0"}});
        // clang-format on
    }
    void printFails()
    {
        Bench bench;
        const QString setup = cell("setup"), pdf = bench.labels + "device.pdf", out = bench.env.path("out");
        writeFile(out + "/device.pdf", "secret");
        TestEnvironment::setScriptExit("PRINT", setup.startsWith("exit:") ? setup.mid(5) : "0");
        QVERIFY(setup != "script" || QFile::remove(bench.env.stationDir() + "/printlabel.sh"));
        QVERIFY((setup != "missing" && setup != "link") || QFile::remove(pdf));
        QVERIFY(setup != "link" || QFile::link(bench.labels + "manual.pdf", pdf)); // a link, though inside
        QVERIFY(setup != "folder" ||
                (QDir(bench.labels).removeRecursively() && QFile::link(out, bench.labels.chopped(1))));
        if (setup == "retired")
            JobChain::retire(&bench.dialog);
        click(bench.dialog, "btnPrintLabel1");
        const QStringList box = cell("box").isEmpty() ? QStringList() : QStringList{cell("box").arg(pdf)};
        QCOMPARE(MessageBox::takeShownTextsForTesting(), box);
        QCOMPARE(QString::number(bench.env.scriptRuns("PRINT").size()), cell("prints"));
        QCOMPARE(bench.enabled(), QStringLiteral("12--")); // the sequence goes on
    }
};

NIMBREL_TEST_MAIN(TestPrintLabels)
#include "tst_printlabels.moc"
