#include "testmain.h"
#include "teststation.h"

using namespace teststation;

namespace {
void writeLabels()
{
    const QString target = Settings::DeviceConfigTargetPath();
    for (const char* name : {"device", "manual", "cabinet", "package"})
        writeFile(target + QStringLiteral("labels/%1.pdf").arg(QLatin1String(name)), "x");
}
} // namespace

class TestPrintLabels : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void buttonsPrintTheirLabelsInOrder()
    {
        TestEnvironment env;
        writeLabels();
        PrintLabels dialog;
        dialog.show();
        for (const char* name : {"btnPrintLabel2", "btnPrintLabel3", "btnClose"})
            QVERIFY2(!button(dialog, name)->isEnabled(), name);

        click(dialog, "btnPrintLabel1");
        QVERIFY(button(dialog, "btnPrintLabel2")->isEnabled());
        QVERIFY(!button(dialog, "btnPrintLabel3")->isEnabled());
        click(dialog, "btnPrintLabel2");
        QVERIFY(button(dialog, "btnPrintLabel3")->isEnabled());
        click(dialog, "btnPrintLabel3");

        const QString target = env.path(QStringLiteral("configs/extract/labels/"));
        QCOMPARE(roleArgs(env, "PRINT"), (QStringList{target + "device.pdf", target + "manual.pdf",
                                                      target + "cabinet.pdf", target + "package.pdf"}));
        // The script from the station's working directory, not from a configured path.
        for (const QJsonObject& run : env.scriptRuns(QStringLiteral("PRINT")))
            QCOMPARE(run.value(QStringLiteral("program")).toString(), env.stationDir() + "/printlabel.sh");
        QVERIFY(MessageBox::takeShownForTesting().isEmpty());
    }

    void failedPrintIsReportedAndTheSequenceGoesOn_data()
    {
        QTest::addColumn<QString>("exit");
        QTest::newRow("exit code 1") << "1";
        QTest::newRow("crash") << "crash";
        QTest::newRow("hangs past its limit") << "hang";
        QTest::newRow("missing label file") << "";
        QTest::newRow("script missing") << "missing";
    }

    void failedPrintIsReportedAndTheSequenceGoesOn()
    {
        QFETCH(QString, exit);
        TestEnvironment env;
        if (exit == QLatin1String("hang")) {
            StationTimings timings;
            timings.printTimeoutMs = 800;
            StationTimings::setForTesting(timings);
        }
        if (exit == QLatin1String("missing"))
            QVERIFY(QFile::remove(env.stationDir() + "/printlabel.sh"));
        else if (!exit.isEmpty())
            TestEnvironment::setScriptExit(QStringLiteral("PRINT"), exit);
        if (!exit.isEmpty())
            writeLabels();

        PrintLabels dialog;
        dialog.show();
        click(dialog, "btnPrintLabel1");
        QVERIFY(button(dialog, "btnPrintLabel2")->isEnabled());
        click(dialog, "btnPrintLabel2");
        QVERIFY(button(dialog, "btnPrintLabel3")->isEnabled());

        const QList<MessageBox::Shown> shown = MessageBox::takeShownForTesting();
        QCOMPARE(shown.size(), 3); // one per label file
        for (const MessageBox::Shown& box : shown) {
            QCOMPARE(box.kind, MessageBox::Critical);
            QCOMPARE(box.text, QStringLiteral("Drucken fehlgeschlagen fehlgeschlagen!"));
        }
    }

    void closeRule_data()
    {
        // E1/E0: enableBtnClose(true/false), B3: button 3, C: the close button
        QTest::addColumn<QString>("steps");
        QTest::addColumn<bool>("closeEnabled");
        QTest::newRow("button 3 alone") << "B3" << false;
        QTest::newRow("allowed, then button 3") << "E1 B3" << true;
        QTest::newRow("button 3, then allowed") << "B3 E1" << true;
        QTest::newRow("button 3, then refused") << "B3 E0" << false;
        QTest::newRow("refused, then button 3") << "E0 B3" << false;
        QTest::newRow("allowed, refused, button 3") << "E1 E0 B3" << false;
        QTest::newRow("refused after enabling keeps it") << "E1 B3 E0" << true;
        QTest::newRow("button 3, allowed, refused") << "B3 E1 E0" << true;
        QTest::newRow("button 3 twice takes it back") << "E1 B3 B3" << false;
        QTest::newRow("allowed again after second press") << "E1 B3 B3 E1" << true;
        QTest::newRow("late allowance survives one press") << "B3 E1 B3" << true;
        QTest::newRow("late allowance, two presses") << "B3 E1 B3 B3" << false;
        // The labels count as unprinted again: an allowance alone does not enable closing.
        QTest::newRow("closing resets the rule") << "E1 B3 C E1" << false;
    }

    void closeRule()
    {
        QFETCH(QString, steps);
        QFETCH(bool, closeEnabled);
        TestEnvironment env;
        useInstantPrinter(env);
        FlashSession session;
        PrintLabels dialog;
        dialog.setFlashSession(&session);
        dialog.show();
        click(dialog, "btnPrintLabel1");
        click(dialog, "btnPrintLabel2");

        for (const QString& step : steps.split(QLatin1Char(' '))) {
            if (step == QLatin1String("B3"))
                click(dialog, "btnPrintLabel3");
            else if (step == QLatin1String("C"))
                click(dialog, "btnClose");
            else
                dialog.enableBtnClose(step == QLatin1String("E1"));
        }
        QCOMPARE(button(dialog, "btnClose")->isEnabled(), closeEnabled);
    }

    void escapeDoesNotCloseTheDialog()
    {
        TestEnvironment env;
        PrintLabels dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::keyClick(&dialog, Qt::Key_Escape);
        dialog.close();
        QVERIFY(dialog.isVisible());
    }

    void closeSwitchesOffAndRemovesOnlyTheDeviceFiles()
    {
        TestEnvironment env;
        TestEnvironment::setScriptExit(QStringLiteral("PRINT"),
                                       QStringLiteral("1")); // off even after a failed print
        writeLabels();
        FlashSession session;
        session.setImage(QStringLiteral("nimbrel-img"));
        session.setSwVersion(QStringLiteral("1.4.2"));
        session.setSerialNumber(QStringLiteral("40001234"));
        const QString configs = env.path(QStringLiteral("configs/"));
        const QStringList gone{configs + "extract/config/network.json",
                               configs + "nimbrel-img-1.4.2-40001234.tar.gz",
                               configs + "nimbrel-img-1.4.2-40001234-additionals.tar.gz"};
        const QStringList kept{configs + "nimbrel-img-1.4.2-40001235.tar.gz",
                               configs + "nimbrel-img-1.4.2-40001235-additionals.tar.gz",
                               configs + "other/keep.txt",
                               env.path(QStringLiteral("images/nimbrel-img.tar.gz"))};
        for (const QString& path : gone + kept)
            writeFile(path, "x");

        PrintLabels dialog;
        dialog.setFlashSession(&session);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        click(dialog, "btnPrintLabel1");
        click(dialog, "btnPrintLabel2");
        dialog.enableBtnClose(true);
        click(dialog, "btnPrintLabel3");
        QVERIFY(button(dialog, "btnClose")->isEnabled());
        env.clearScriptRuns();

        click(dialog, "btnClose");

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toInt(), 0);
        QVERIFY(!dialog.isVisible());
        QVERIFY(!button(dialog, "btnClose")->isEnabled());
        QCOMPARE(roleArgs(env, "RELAY"), (QStringList{"5|OFF", "8|OFF"}));
        QVERIFY(!QFileInfo::exists(configs + "extract"));
        for (const QString& path : gone)
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
        for (const QString& path : kept)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        QVERIFY(QFileInfo::exists(env.stationDir() + "/printlabel.sh"));
    }
};

NIMBREL_TEST_MAIN(TestPrintLabels)
#include "tst_printlabels.moc"
