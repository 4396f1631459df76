#include "flashsession.h"
#include "messagebox.h"
#include "printlabels.h"
#include "settings.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QtTest>

namespace {
void writeFile(const QString& path, const QByteArray& content = "x")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

void writeLabels()
{
    const QString target = Settings::DeviceConfigTargetPath();
    for (const char* name : {"device", "manual", "cabinet", "package"})
        writeFile(target + QStringLiteral("labels/%1.pdf").arg(QLatin1String(name)));
}

QStringList printedFiles(const TestEnvironment& env)
{
    QStringList files;
    for (const QJsonObject& run : env.scriptRuns(QStringLiteral("PRINT")))
        files << run.value(QStringLiteral("args")).toVariant().toStringList().join(QLatin1Char('|'));
    return files;
}

// For cases where only the button logic matters: a print script that succeeds at once.
void useInstantPrinter(const TestEnvironment& env)
{
    const QString script = env.stationDir() + QStringLiteral("/printlabel.sh");
    QFile::remove(script);
    writeFile(script, "#!/bin/sh\nexit 0\n");
    QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner);
}

QPushButton* button(PrintLabels& dialog, const char* name)
{
    return dialog.findChild<QPushButton*>(QLatin1String(name));
}
} // namespace

class TestPrintLabels : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void formAsTheOperatorSeesIt()
    {
        TestEnvironment env;
        PrintLabels dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Drucke Labels"));
        QCOMPARE(button(dialog, "btnPrintLabel2")->text(),
                 QStringLiteral("2. Drucke Label für Anleitung \n und Schaltschrank "));
        QVERIFY(button(dialog, "btnPrintLabel1")->isEnabled());
        QVERIFY(!button(dialog, "btnPrintLabel2")->isEnabled());
        QVERIFY(!button(dialog, "btnPrintLabel3")->isEnabled());
        QVERIFY(!button(dialog, "btnClose")->isEnabled());
    }

    void buttonsPrintTheirLabelsInOrder()
    {
        TestEnvironment env;
        writeLabels();
        PrintLabels dialog;
        dialog.show();

        QTest::mouseClick(button(dialog, "btnPrintLabel1"), Qt::LeftButton);
        QVERIFY(button(dialog, "btnPrintLabel2")->isEnabled());
        QVERIFY(!button(dialog, "btnPrintLabel3")->isEnabled());
        QTest::mouseClick(button(dialog, "btnPrintLabel2"), Qt::LeftButton);
        QVERIFY(button(dialog, "btnPrintLabel3")->isEnabled());
        QTest::mouseClick(button(dialog, "btnPrintLabel3"), Qt::LeftButton);

        const QString target = env.path(QStringLiteral("configs/extract/labels/"));
        QCOMPARE(printedFiles(env), (QStringList{target + "device.pdf", target + "manual.pdf",
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
        QTest::mouseClick(button(dialog, "btnPrintLabel1"), Qt::LeftButton);
        QVERIFY(button(dialog, "btnPrintLabel2")->isEnabled());
        QTest::mouseClick(button(dialog, "btnPrintLabel2"), Qt::LeftButton);
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
        QTest::addColumn<QString>("steps"); // E1/E0: enableBtnClose(true/false), B3: button 3
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
    }

    void closeRule()
    {
        QFETCH(QString, steps);
        QFETCH(bool, closeEnabled);
        TestEnvironment env;
        useInstantPrinter(env);
        PrintLabels dialog;
        dialog.show();
        QTest::mouseClick(button(dialog, "btnPrintLabel1"), Qt::LeftButton);
        QTest::mouseClick(button(dialog, "btnPrintLabel2"), Qt::LeftButton);

        for (const QString& step : steps.split(QLatin1Char(' '))) {
            if (step == QLatin1String("B3"))
                QTest::mouseClick(button(dialog, "btnPrintLabel3"), Qt::LeftButton);
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
        writeFile(configs + "extract/config/network.json");
        writeFile(configs + "nimbrel-img-1.4.2-40001234.tar.gz");
        writeFile(configs + "nimbrel-img-1.4.2-40001234-additionals.tar.gz");
        const QStringList kept{configs + "nimbrel-img-1.4.2-40001235.tar.gz",
                               configs + "nimbrel-img-1.4.2-40001235-additionals.tar.gz",
                               configs + "other/keep.txt",
                               env.path(QStringLiteral("images/nimbrel-img.tar.gz"))};
        for (const QString& path : kept)
            writeFile(path);

        PrintLabels dialog;
        dialog.setFlashSession(&session);
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QTest::mouseClick(button(dialog, "btnPrintLabel1"), Qt::LeftButton);
        QTest::mouseClick(button(dialog, "btnPrintLabel2"), Qt::LeftButton);
        dialog.enableBtnClose(true);
        QTest::mouseClick(button(dialog, "btnPrintLabel3"), Qt::LeftButton);
        QVERIFY(button(dialog, "btnClose")->isEnabled());
        env.clearScriptRuns();

        QTest::mouseClick(button(dialog, "btnClose"), Qt::LeftButton);

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toInt(), 0);
        QVERIFY(!dialog.isVisible());
        QVERIFY(!button(dialog, "btnClose")->isEnabled());
        QStringList relay;
        for (const QJsonObject& run : env.scriptRuns(QStringLiteral("RELAY")))
            relay << run.value(QStringLiteral("args")).toVariant().toStringList().join(QLatin1Char(' '));
        QCOMPARE(relay, (QStringList{"5 OFF", "8 OFF"}));
        QVERIFY(!QFileInfo::exists(configs + "extract"));
        QVERIFY(!QFileInfo::exists(configs + "nimbrel-img-1.4.2-40001234.tar.gz"));
        QVERIFY(!QFileInfo::exists(configs + "nimbrel-img-1.4.2-40001234-additionals.tar.gz"));
        for (const QString& path : kept)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        QVERIFY(QFileInfo::exists(env.stationDir() + "/printlabel.sh"));
    }

    void closeResetsTheCloseRule()
    {
        TestEnvironment env;
        useInstantPrinter(env);
        FlashSession session;
        PrintLabels dialog;
        dialog.setFlashSession(&session);
        dialog.show();
        QTest::mouseClick(button(dialog, "btnPrintLabel1"), Qt::LeftButton);
        QTest::mouseClick(button(dialog, "btnPrintLabel2"), Qt::LeftButton);
        dialog.enableBtnClose(true);
        QTest::mouseClick(button(dialog, "btnPrintLabel3"), Qt::LeftButton);
        QTest::mouseClick(button(dialog, "btnClose"), Qt::LeftButton);

        // The labels count as unprinted again: an allowance alone does not enable closing.
        dialog.enableBtnClose(true);
        QVERIFY(!button(dialog, "btnClose")->isEnabled());
    }
};

NIMBREL_TEST_MAIN(TestPrintLabels)
#include "tst_printlabels.moc"
