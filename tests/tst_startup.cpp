#include "fattest.h"
#include "flashsession.h"
#include "mainwindow.h"
#include "online.h"
#include "settings.h"
#include "stationstartup.h"
#include "datarows.h"
#include "testmain.h"
#include "testsoftware.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>

namespace {
// The station's own children: every process whose working directory lies in the sandbox,
// but for the simulator and the station itself.
QStringList childrenIn(const TestEnvironment& env, qint64 stationPid)
{
    QStringList found;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        if (pid.toLongLong() <= 0 || pid.toLongLong() == stationPid || pid.toLongLong() == QCoreApplication::applicationPid())
            continue;
        QFile cmdline("/proc/" + pid + "/cmdline");
        if (!cmdline.open(QIODevice::ReadOnly)) // ended meanwhile
            continue;
        const QString command = QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' '));
        if (QFileInfo("/proc/" + pid + "/cwd").symLinkTarget().startsWith(env.root()) &&
            !command.contains("nimbrel_sim.py"))
            found << command;
    }
    return found;
}

// The station as its start script runs it, steered like an operator would: a scan, or a FAT
// re-test and the LED confirmation; "Beenden" once the test drops the file named by the variable.
int runStationChild(int argc, char** argv)
{
    QApplication app(argc, argv);
    MessageBox::setRecordingForTesting(true);
    const QStringList plan = qEnvironmentVariable("NIMBREL_STATION_CHILD").split('|');
    QTimer operatorHand;
    bool started = false;
    bool confirmed = false;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        MainWindow* window = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            window = window ? window : qobject_cast<MainWindow*>(top);
        if (!window)
            return;
        if (QFile::exists(plan.value(1))) {
            if (plan.value(2) == "close") // the window's close button
                window->close();
            else
                window->findChild<QAction*>("actionBeenden")->trigger();
            return;
        }
        if (auto* tests = window->findChild<TestSoftware*>(); tests && !confirmed) {
            confirmed = true;
            QTest::mouseClick(tests->findChild<QPushButton*>("btnLEDOK"), Qt::LeftButton);
        }
        if (started)
            return;
        started = true;
        window->setDefaultImage("4r0417", "1.2.0-dev", "", "");
        window->flashSession()->setImage("nimbrel-4r0417");
        if (plan.first() == "scan") {
            QTest::keyClicks(window->findChild<QLineEdit*>("txtBarcode"), "G1234567");
            QTest::keyClick(window->findChild<QLineEdit*>("txtBarcode"), Qt::Key_Return);
            return;
        }
        QTest::mouseClick(window->findChild<QPushButton*>("btnFATTest"), Qt::LeftButton);
        auto* fat = window->findChild<FATTest*>();
        fat->findChild<QLineEdit*>("txtEMSSerialNumber")->setText("G1234567");
        QTest::mouseClick(fat->findChild<QPushButton*>("btnOk"), Qt::LeftButton);
    });
    operatorHand.start(100);
    return StationStartup::run(app);
}
} // namespace

// Runs the station program itself, as an operator's start script would.
class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void commandLine_data();
    void commandLine();
    void snapOption_data();
    void snapOption();
    void unusableSettingsAreReported();
    void quitEndsEveryChild_data();
    void quitEndsEveryChild();

private:
    static QString program() { return QStringLiteral(NIMBREL_BINARY_DIR "/nimbrel-production"); }
};

void TestStartup::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("printed");
    QTest::newRow("help") << QStringList{"--help"} << 0
                          << "Flashtool for flashing Tarvelin Nimbrel 4r0417 Devices|--snap <image-path>|"
                             "Provide the name of the snap image to flash.";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 1 << "frobnicate";
}

void TestStartup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, printed);
    TestEnvironment env;
    QProcess station;
    station.start(program(), arguments);
    QVERIFY(station.waitForFinished(20000));
    QCOMPARE(station.exitCode(), exitCode);
    const QString output = station.readAllStandardOutput() + station.readAllStandardError();
    for (const QString& part : printed.split('|'))
        QVERIFY2(output.contains(part), qPrintable(output));
}

void TestStartup::snapOption_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<QStringList>("absentLines");

    const QStringList snapLines{
        QStringLiteral("A snap image was given to set as default!"),
        QStringLiteral(
            "Art.: \"4r0417\" | SwVer.: \"1.2.3-snap\" | Date: \"2024-05-17\" | CommitHash: \"a1b2c3\"")};
    QTest::newRow("no arguments") << QStringList() << QStringList{"Ungültiges Snap-Image-Format!"}
                                  << snapLines;
    QTest::newRow("snap name") << QStringList{"--snap", "4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz"}
                               << snapLines << QStringList{"Ungültiges Snap-Image-Format!"};
    QTest::newRow("snap name with folder")
        << QStringList{"--snap", "/data/4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz"} << snapLines
        << QStringList{"Ungültiges Snap-Image-Format!"};
    QTest::newRow("not a snap name") << QStringList{"--snap", "4r0417-1.2-snap-2024-05-17-a1b2c3-img.tar.gz"}
                                     << QStringList{"Ungültiges Snap-Image-Format!"} << snapLines;
}

void TestStartup::snapOption()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expectedLines);
    QFETCH(QStringList, absentLines);

    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    env.reopenSettings(); // writes the sandbox settings to disk for the child

    QProcess station;
    station.setProcessChannelMode(QProcess::SeparateChannels);
    station.start(program(), arguments);
    QString log;
    // the spec list request is the station's first request; wait for it, then for the log lines
    QTRY_VERIFY_WITH_TIMEOUT(!sim.requests(QStringLiteral("/api/v1/specs")).isEmpty(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += QString::fromUtf8(station.readAllStandardError()), log.contains(expectedLines.last())),
        20000);
    station.terminate();
    QVERIFY(station.waitForFinished(10000));

    QVERIFY2(log.contains(QStringLiteral("Setting path \"") + env.root()), qPrintable(log));
    for (const QString& line : expectedLines)
        QVERIFY2(log.contains(line), qPrintable(line));
    for (const QString& line : absentLines)
        QVERIFY2(!log.contains(line), qPrintable(line));
    QCOMPARE(sim.requests(QStringLiteral("/api/v1/specs")).size(), 1);
}

void TestStartup::unusableSettingsAreReported()
{
    TestEnvironment env;
    const QString fileName = env.settings()->fileName();
    QFile::remove(fileName);
    QVERIFY(QDir().mkpath(fileName)); // cannot be read, even by root

    QProcess station;
    station.start(program(), QStringList());
    // The box waits for the operator; nothing is requested on the defaults before it is answered.
    QString log;
    QTRY_VERIFY_WITH_TIMEOUT((log += QString::fromUtf8(station.readAllStandardError()),
                              log.contains(QStringLiteral("Warning box: Einstellungsdatei ") + fileName)),
                             20000);
    station.kill();
    QVERIFY(station.waitForFinished(10000));
    QVERIFY(QFileInfo(fileName).isDir());
}

void TestStartup::quitEndsEveryChild_data()
{
    addColumns({"plan", "role", "behaviour", "running"});
    addRows({{"flash script", "scan", "FLASH", "hang", "4R0417_stage1.sh"},
             {"flash script deaf to SIGTERM", "scan", "FLASH", "stubborn", "4R0417_stage1.sh"},
             {"test and MAC scripts in the pool", "fat", "TESTTASTER", "hang", "mac_test.py|test_TestTaster.py"},
             {"image unpack, window closed", "scan|close", "image", "slow:100000", "tar"}});
}

// "Beenden" ends every child the station started, and the station is gone within 5 s.
void TestStartup::quitEndsEveryChild()
{
    QFETCH(QString, plan);
    QFETCH(QString, role);
    QFETCH(QString, behaviour);
    QFETCH(QString, running);
    TestEnvironment env;
    Simulator sim;
    QVERIFY(goOnline(env, sim, {"--image-size", "2M"}));
    env.reopenSettings();
    if (role == "image")
        QVERIFY(sim.setFault(role, behaviour));
    else
        TestEnvironment::setScriptExit(role, behaviour);
    TestEnvironment::setScriptExit("MAC", "stubborn");
    const QString quitFile = env.path("beenden");
    qputenv("NIMBREL_STATION_CHILD", QString(plan.section('|', 0, 0) + '|' + quitFile + '|' + plan.section('|', 1))
                                         .toLocal8Bit());
    QProcess station;
    station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    station.start(QCoreApplication::applicationFilePath(), QStringList());
    qunsetenv("NIMBREL_STATION_CHILD");
    const auto children = [&] {
        QStringList names;
        for (const QString& command : childrenIn(env, station.processId()))
            for (const QString& name : running.split('|'))
                if (command.contains(name))
                    names << name;
        names.removeDuplicates(); // tar runs the decompressor through a fork of its own
        names.sort();
        return names.join('|');
    };
    QTRY_COMPARE_WITH_TIMEOUT(children(), running, 30000);
    QElapsedTimer clock;
    clock.start();
    QFile(quitFile).open(QIODevice::WriteOnly);
    QVERIFY(station.waitForFinished(15000));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(station.exitCode(), 0);
    QCOMPARE(childrenIn(env, station.processId()), QStringList());
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet("NIMBREL_STATION_CHILD"))
        return runStationChild(argc, argv);
    return testMain<TestStartup>(argc, argv);
}
#include "tst_startup.moc"
