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

    // DeviceConfigTargetPath is a folder with or without its trailing "/".
    void printAndClose_data()
    {
        addColumns({"target"});
        addRows({{"with /", "configs/extract/"}, {"without /", "configs/extract"}});
    }
    void printAndClose()
    {
        Bench bench(cell("target"));
        const QString configs = bench.env.path("configs/"), seen = bench.env.path("relay.txt");
        const QStringList gone{configs + "extract/x/network.json",
                               configs + "nimbrel-img-1.4.2-40001234.tar.gz",
                               configs + "nimbrel-img-1.4.2-40001234-additionals.tar.gz"};
        const QStringList kept{configs + "nimbrel-img-1.4.2-40001235.tar.gz", configs + "other/keep.txt",
                               bench.env.path("images/nimbrel-img.tar.gz")};
        for (const QString& path : gone + kept)
            writeFile(path, "x");
        // The relay script notes whether the device's files were still there when it ran.
        writeFile(bench.env.path("relay.py"),
                  QString("import os, sys\nopen('%1', 'a').write(' '.join(sys.argv[1:]) + "
                          "(' files\\n' if os.path.exists('%2') else ' gone\\n'))\n")
                      .arg(seen, configs + "extract")
                      .toUtf8());
        Settings::setValue("RealyModuleCLIScript", bench.env.path("relay.py"));
        QCOMPARE(bench.dialog.windowTitle(), QStringLiteral("Drucke Labels"));
        QStringList states{bench.enabled()};
        for (const char* name : {"btnPrintLabel1", "btnPrintLabel2", "btnPrintLabel3"})
            click(bench.dialog, name), states << bench.enabled();
        QCOMPARE(states, QStringList({"1---", "12--", "123-", "123-"}));
        QCOMPARE(roleArgs(bench.env, "PRINT"),
                 QStringList({bench.labels + "device.pdf", bench.labels + "manual.pdf",
                              bench.labels + "cabinet.pdf", bench.labels + "package.pdf"}));
        for (const QJsonObject& run : bench.env.scriptRuns("PRINT")) // from the working directory
            QCOMPARE(run.value("program").toString(), bench.env.stationDir() + "/printlabel.sh");

        bench.dialog.enableBtnClose(true);
        QSignalSpy finished(&bench.dialog, &QDialog::finished);
        click(bench.dialog, "btnClose");
        QCOMPARE(finished.count(), 1);
        QCOMPARE(bench.enabled(), QStringLiteral("123-"));
        QCOMPARE(readFile(seen), QByteArray("5 OFF files\n8 OFF files\n")); // off before the files go
        for (const QString& path : gone + QStringList{configs + "extract"})
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
        for (const QString& path : kept)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
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
                 {"hangs past its limit", "exit:hang", failed, "0"}, {"script missing", "script", failed, "0"},
                 {"label missing", "missing", refused, "0"}, {"label is a link", "link", refused, "0"},
                 {"labels folder is a link out", "folder", refused, "0"}, {"job retired", "retired", "", "0"}});
        // clang-format on
    }
    void printFails()
    {
        Bench bench;
        StationTimings timings;
        timings.printTimeoutMs = 500;
        StationTimings::setForTesting(timings);
        const QString setup = cell("setup"), pdf = bench.labels + "device.pdf", out = bench.env.path("out");
        writeFile(out + "/device.pdf", "secret");
        if (setup.startsWith("exit:"))
            TestEnvironment::setScriptExit("PRINT", setup.mid(5));
        if (setup == "script")
            QVERIFY(QFile::remove(bench.env.stationDir() + "/printlabel.sh"));
        if (setup == "missing" || setup == "link")
            QVERIFY(QFile::remove(pdf));
        if (setup == "link")
            QVERIFY(QFile::link(out + "/device.pdf", pdf));
        if (setup == "folder")
            QVERIFY(QDir(bench.labels).removeRecursively() &&
                    QFile::link(out, bench.env.path("configs/extract/labels")));
        if (setup == "retired")
            JobChain::retire(&bench.dialog);
        click(bench.dialog, "btnPrintLabel1");
        const QStringList box = cell("box").isEmpty() ? QStringList() : QStringList{cell("box").arg(pdf)};
        QCOMPARE(MessageBox::takeShownTextsForTesting(), box);
        QCOMPARE(QString::number(bench.env.scriptRuns("PRINT").size()), cell("prints"));
        QCOMPARE(bench.enabled(), QStringLiteral("12--")); // the sequence goes on
    }

    // E1/E0: enableBtnClose(true/false), B3: button 3, C: the close button
    void closeRule_data()
    {
        addColumns({"steps", "close"});
        // clang-format off
        addRows({{"button 3 alone", "B3", "-"}, {"allowed, then button 3", "E1 B3", "C"},
                 {"button 3, then allowed", "B3 E1", "C"}, {"button 3, then refused", "B3 E0", "-"},
                 {"allowed, refused, button 3", "E1 E0 B3", "-"}, {"refusal keeps it", "E1 B3 E0", "C"},
                 {"button 3 twice takes it back", "E1 B3 B3", "-"}, {"allowed again", "E1 B3 B3 E1", "C"},
                 {"late allowance survives one press", "B3 E1 B3", "C"}, {"closing resets", "E1 B3 C E1", "-"}});
        // clang-format on
    }
    void closeRule()
    {
        Bench bench;
        click(bench.dialog, "btnPrintLabel1");
        click(bench.dialog, "btnPrintLabel2");
        for (const QString& step : cell("steps").split(' ')) {
            if (step.startsWith('E'))
                bench.dialog.enableBtnClose(step == "E1");
            else
                click(bench.dialog, step == "B3" ? "btnPrintLabel3" : "btnClose");
        }
        QCOMPARE(bench.enabled().right(1), cell("close"));
    }
};

NIMBREL_TEST_MAIN(TestPrintLabels)
#include "tst_printlabels.moc"
