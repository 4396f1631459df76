#include "datarows.h"
#include "fattest.h"
#include "mainwindow.h"
#include "stationstartup.h"
#include "testmain.h"
#include "testsoftware.h"
#include "teststation.h"

#include <QtWidgets>

namespace {
using namespace teststation;

// The station's own children: processes working in the sandbox, but for the simulator and the test.
QString childrenIn(const TestEnvironment& env)
{
    QStringList found;
    for (const QString& pid : QDir("/proc").entryList({"[1-9]*"}, QDir::Dirs)) {
        QFile cmdline("/proc/" + pid + "/cmdline");
        if (pid.toLongLong() == QCoreApplication::applicationPid() || !cmdline.open(QIODevice::ReadOnly))
            continue; // the test itself, or ended meanwhile
        const QString command = QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' '));
        if (QFileInfo("/proc/" + pid + "/cwd").symLinkTarget().startsWith(env.root()) &&
            !command.contains("nimbrel_sim.py"))
            found << command;
    }
    return found.join('\n');
}

// The station steered like an operator: a scan, or a FAT re-test; it quits once HOME holds "beenden".
int runStationChild(int argc, char** argv)
{
    QApplication app(argc, argv);
    MessageBox::setRecordingForTesting(true);
    const QString plan = qEnvironmentVariable("NIMBREL_STATION_CHILD");
    QTimer operatorHand;
    bool started = false, confirmed = false;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        MainWindow* window = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            window = window ? window : qobject_cast<MainWindow*>(top);
        if (!window)
            return;
        if (QFile::exists(QDir::home().filePath("beenden")))
            return plan.endsWith("close") ? void(window->close())
                                          : child<QAction>(*window, "actionBeenden")->trigger();
        if (auto* tests = window->findChild<TestSoftware*>(); tests && !std::exchange(confirmed, true))
            click(*tests, "btnLEDOK");
        if (std::exchange(started, true))
            return;
        window->setDefaultImage("4r0417", "1.2.0-dev", "", "");
        window->flashSession()->setImage("nimbrel-4r0417");
        if (plan.startsWith("scan"))
            return QTest::keyClicks(child<QLineEdit>(*window, "txtBarcode"), "G1234567\r");
        click(*window, "btnFATTest");
        auto* fat = window->findChild<FATTest*>();
        child<QLineEdit>(*fat, "txtEMSSerialNumber")->setText("G1234567");
        click(*fat, "btnOk");
    });
    operatorHand.start(100);
    return StationStartup::run(app);
}
} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void commandLine_data()
    {
        addColumns({"arguments", "settings", "printed", "absent", "exit", "specRequests"});
        const QString snap =
            "A snap image was given to set as default!;Art.: \"4r0417\" | SwVer.: \"1.2.3-snap\" | "
            "Date: \"2024-05-17\" | CommitHash: \"a1b2c3\"";
        const QString invalid = "Ungültiges Snap-Image-Format!", read = "Setting path \"%root;";
        const QString image = "4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz";
        const QString help = "Flashtool for flashing Tarvelin Nimbrel 4r0417 Devices;--snap <image-path>;"
                             "Provide the name of the snap image to flash.";
        addRows(
            {{"help", "--help", "", help, "", "0", "0"},
             {"unknown option", "--frobnicate", "", "frobnicate", "", "1", "0"},
             {"no arguments", "", "", read + invalid, snap, "", "1"},
             {"snap name", "--snap " + image, "", read + snap, invalid, "", "1"},
             {"snap name with folder", "--snap /data/" + image, "", read + snap, invalid, "", "1"},
             {"x.y version", "--snap " + QString(image).remove(10, 2), "", read + invalid, snap, "", "1"},
             // The box waits for the operator; the unreadable file is left as it is.
             {"settings unreadable", "", "folder", "Warning box: Einstellungsdatei %settings", "", "", "0"}});
    }
    void commandLine()
    {
        TestEnvironment env;
        Simulator sim;
        QVERIFY(goOnline(env, sim));
        env.reopenSettings(); // writes the sandbox settings to disk for the child
        const QString settings = env.settings()->fileName();
        if (!cell("settings").isEmpty())
            QVERIFY(QFile::remove(settings) && QDir().mkpath(settings)); // cannot be read, even by root
        const QStringList printed =
            cell("printed").replace("%root", env.root()).replace("%settings", settings).split(';');
        QProcess station;
        station.setProcessChannelMode(QProcess::MergedChannels);
        station.start(NIMBREL_BINARY_DIR "/nimbrel-production",
                      cell("arguments").split(' ', Qt::SkipEmptyParts));
        QString log;
        QTRY_VERIFY_WITH_TIMEOUT((log += station.readAll()).contains(printed.last()), 20000 * slowdown);
        QTRY_COMPARE(QString::number(sim.requests("/api/v1/specs").size()), cell("specRequests"));
        if (cell("exit").isEmpty())
            station.kill();
        QTRY_COMPARE_WITH_TIMEOUT(station.state(), QProcess::NotRunning, 20000 * slowdown);
        QCOMPARE(station.exitStatus() ? QString() : QString::number(station.exitCode()), cell("exit"));
        for (const QString& part : printed)
            QVERIFY2(log.contains(part), qPrintable(log));
        for (const QString& part : cell("absent").split(';', Qt::SkipEmptyParts))
            QVERIFY2(!log.contains(part), qPrintable(part));
        QCOMPARE(QFileInfo(settings).isDir(), !cell("settings").isEmpty());
    }

    void quitEndsEveryChild_data()
    {
        addColumns({"plan", "role", "behaviour", "running"});
        addRows({{"flash script", "scan", "FLASH", "hang", "4R0417_stage1.sh"},
                 {"flash script deaf to SIGTERM", "scan", "FLASH", "stubborn", "4R0417_stage1.sh"},
                 {"test and MAC scripts", "fat", "TESTTASTER", "hang", "mac_test.py|test_TestTaster.py"},
                 {"image unpack, window closed", "scan, close", "image", "slow:100000", "tar"}});
    }
    // "Beenden" ends every child the station started, and the station is gone within 5 s.
    void quitEndsEveryChild()
    {
        const QString plan = cell("plan"), role = cell("role");
        TestEnvironment env;
        Simulator sim;
        QVERIFY(goOnline(env, sim, {"--image-size", "2M"}));
        env.reopenSettings();
        QVERIFY(role != "image" || sim.setFault(role, cell("behaviour")));
        TestEnvironment::setScriptExit(role, cell("behaviour")); // no script reads "image"
        TestEnvironment::setScriptExit("MAC", "stubborn");
        qputenv("NIMBREL_STATION_CHILD", plan.toLocal8Bit());
        QProcess station;
        station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        station.start(QCoreApplication::applicationFilePath(), QStringList());
        qunsetenv("NIMBREL_STATION_CHILD");
        for (const QString& name : cell("running").split('|')) { // a program, not a part of "tst_startup"
            const QRegularExpression program("(^|[ /])" + QRegularExpression::escape(name) + "( |$)",
                                             QRegularExpression::MultilineOption);
            QTRY_VERIFY2_WITH_TIMEOUT(childrenIn(env).contains(program), qPrintable(name), 30000 * slowdown);
        }
        const qint64 began = QDateTime::currentMSecsSinceEpoch();
        QFile(QDir::home().filePath("beenden")).open(QIODevice::WriteOnly);
        QVERIFY(station.waitForFinished(15000 * slowdown));
        QVERIFY2(QDateTime::currentMSecsSinceEpoch() - began < 5000 * slowdown,
                 "the station took too long to end");
        QCOMPARE(station.exitCode(), 0);
        QCOMPARE(childrenIn(env), QString());
    }
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet("NIMBREL_STATION_CHILD"))
        return runStationChild(argc, argv);
    return testMain<TestStartup>(argc, argv);
}
#include "tst_startup.moc"
