#include "assignmacs.h"
#include "configmanager.h"
#include "fattest.h"
#include "fileutils.h"
#include "flashsoftware.h"
#include "mainwindow.h"
#include "messagebox.h"
#include "printlabels.h"
#include "scanbarcode.h"
#include "selectsoftware.h"
#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"
#include "testsoftware.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QThreadPool>
#include <QUrlQuery>
#include <memory>

// Whole devices driven through the real windows, as an operator at the station does it.

#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

namespace {
const QString article = QStringLiteral("4r0417");
const QString mac1Eth0 = QStringLiteral("02:4e:49:4d:00:01"); // what the fake MAC script gives by default
const QString mac1Eth1 = QStringLiteral("02:4e:49:4d:00:02");
const QString shiftLog = QStringLiteral("2024-05-16_schicht.log");
const QByteArray shiftLogText = "2024-05-16 06:00:00 Schicht begonnen\n";

// Switches of the fake station scripts, gone again when the test ends.
class FakeSwitches
{
public:
    void set(const char* name, const QByteArray& value)
    {
        names << name;
        qputenv(name, value);
    }
    ~FakeSwitches()
    {
        for (const QByteArray& name : names)
            qunsetenv(name.constData());
    }

private:
    QList<QByteArray> names;
};

// One station: sandbox, simulator, and the main window as the program starts it.
struct Station
{
    TestEnvironment env;
    Simulator sim;
    FakeSwitches switches;
    std::unique_ptr<MainWindow> window;

    ~Station()
    {
        window.reset();
        QThreadPool::globalInstance()->waitForDone();
    }
};

// The windows of one job, watched so that their deletion can be seen.
struct Job
{
    QPointer<ScanBarcode> order;
    QPointer<FlashSoftware> flash;
    QPointer<TestSoftware> test;
    QPointer<PrintLabels> labels;
};

template <typename T> T* child(QObject& parent, const char* name)
{
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

void click(QObject& parent, const char* name)
{
    QPushButton* button = child<QPushButton>(parent, name);
    QVERIFY2(button->isEnabled(), name);
    QTest::mouseClick(button, Qt::LeftButton);
}

void choose(QComboBox* box, const QString& text)
{
    const int index = box->findText(text);
    QVERIFY2(index >= 0, qPrintable(text + " not offered"));
    box->setCurrentIndex(index);
}

QString labelText(QObject& parent, const char* name)
{
    return child<QLabel>(parent, name)->text();
}

QStringList argsOf(const QJsonObject& run)
{
    return run.value(QStringLiteral("args")).toVariant().toStringList();
}

QString describe(const QJsonObject& run)
{
    return run.value(QStringLiteral("role")).toString() + QLatin1Char(' ') +
           argsOf(run).join(QLatin1Char('|'));
}

// The script runs in the order they ended. The production-test service is stopped in the
// background while the operator prints, so it is judged on its own (disableProduction).
QStringList scriptLines(const TestEnvironment& env)
{
    QStringList lines;
    for (const QJsonObject& run : env.scriptRuns()) {
        if (run.value(QStringLiteral("role")).toString() != QLatin1String("DISABLEPRODUCTION"))
            lines << describe(run);
    }
    return lines;
}

QString requestLine(const QJsonObject& request)
{
    const QString query = request.value(QStringLiteral("rawQuery")).toString();
    return request.value(QStringLiteral("method")).toString() + QLatin1Char(' ') +
           request.value(QStringLiteral("path")).toString() + (query.isEmpty() ? QString() : "?" + query);
}

QStringList requestLines(const Simulator& sim)
{
    QStringList lines;
    for (const QJsonObject& request : sim.requests())
        lines << requestLine(request);
    return lines;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The test log without the time stamps the test scripts put in front.
QStringList testLog(const TestEnvironment& env, const QString& name)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "));
    QStringList lines;
    for (const QString& line : QString::fromUtf8(readAll(env.path("test_log/" + name))).split('\n'))
        lines << QString(line).remove(stamp);
    return lines;
}

QStringList entries(const QString& dir)
{
    return sorted(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

// What the print script was handed, as copies in the order printed.
QStringList printed(const TestEnvironment& env)
{
    return QDir(env.path(QStringLiteral("printed")))
        .entryList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Name);
}

QJsonObject macsOf(const QString& eth0, const QString& eth1)
{
    return QJsonObject{{QStringLiteral("eth0"), eth0}, {QStringLiteral("eth1"), eth1}};
}

// --- the operator's steps ---

void startStation(Station& station)
{
    QVERIFY(station.sim.start(
        {"--authorization", "Bearer e2e", "--image-user", "station", "--image-password", "geheim"}));
    TestEnvironment& env = station.env;
    env.pointAt(station.sim.baseUrl());
    Settings::setValue(QStringLiteral("Authorization"), QStringLiteral("Bearer e2e"));
    Settings::setValue(QStringLiteral("UserNameImage"), QStringLiteral("station"));
    Settings::setValue(QStringLiteral("PasswordImage"), QStringLiteral("geheim"));

    StationTimings timings;
    timings.microcontrollerWaitMs = 300;
    timings.progressTickMs = 10;
    timings.additionalsDelayMs = 200;
    StationTimings::setForTesting(timings);

    // The additionals come while the operator presses the test button (1.5 s), so the
    // label dialog waits for "drucke Label" instead of opening by itself.
    TestEnvironment::setScriptDelay(QStringLiteral("TESTTASTER"), 1.5);
    TestEnvironment::setScriptDelay(QStringLiteral("RESETTASTER"), 0.3);
    station.switches.set("NIMBREL_FAKE_CHECK_IMAGE", "1"); // the flash script wants the image on disk
    station.switches.set("NIMBREL_FAKE_TESTLOG_DIR", env.path(QStringLiteral("test_log")).toLocal8Bit());
    station.switches.set("NIMBREL_FAKE_PRINT_DIR", env.path(QStringLiteral("printed")).toLocal8Bit());

    // Yesterday's log: the station must append to the newest file, which the tests write.
    QFile log(env.path("test_log/" + shiftLog));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write(shiftLogText);
    QVERIFY(log.setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime));
    log.close();

    // The spec list, fetched once as at start-up.
    ConfigManager client;
    client.requestSpecs();
    QTRY_VERIFY_WITH_TIMEOUT(!Settings::instance()->specs().isEmpty(), 20000);

    station.window = std::make_unique<MainWindow>();
    station.window->setEndpointText(station.sim.baseUrl());
    station.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(station.window.get()));
}

void select(MainWindow& window, const QString& version)
{
    click(window, "btnSelectArticleVersion");
    const QList<SelectSoftware*> dialogs = window.findChildren<SelectSoftware*>();
    SelectSoftware* dialog = dialogs.isEmpty() ? nullptr : dialogs.last();
    QVERIFY(dialog && dialog->isVisible());
    STEP(choose(child<QComboBox>(*dialog, "cbArticle"), article));
    STEP(choose(child<QComboBox>(*dialog, "cbSWVersion"), version));
    click(*dialog, "btnOk");
    QVERIFY(!dialog->isVisible());
    QCOMPARE(labelText(window, "txtArtikel"), article);
    QCOMPARE(labelText(window, "txtSWVersion"), version);
}

// The hand scanner types into the hidden field and ends with Enter.
void scan(MainWindow& window, const QString& orderNumber)
{
    QLineEdit* field = child<QLineEdit>(window, "txtBarcode");
    QTest::keyClicks(field, orderNumber);
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(labelText(window, "lblEMSSerialNumber"), orderNumber);
}

// From the scan to the test window: the flash runs by itself, the operator presses "weiter".
void flash(MainWindow& window, Job& job)
{
    job.order = window.orderDialog();
    QVERIFY(job.order);
    job.flash = job.order->findChild<FlashSoftware*>();
    QVERIFY(job.flash && job.flash->isVisible());
    QPushButton* next = child<QPushButton>(*job.flash, "btnOpenPrintDialog");
    QTRY_VERIFY_WITH_TIMEOUT(next->isEnabled(), 60000);
    for (const char* box : {"cbDownloadImage", "cbEMSSerialnumberassigned", "cbDownloadConfig",
                            "cbFlashFirmware", "cbRebootNimbrel", "cbFlashMSP"})
        QVERIFY2(child<QCheckBox>(*job.flash, box)->isChecked(), box);
    QCOMPARE(child<QProgressBar>(*job.flash, "pbStatus")->value(), 265);
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    click(*job.flash, "btnOpenPrintDialog");
    QVERIFY(!job.flash->isVisible());
    job.test = job.flash->findChild<TestSoftware*>();
    QVERIFY(job.test && job.test->isVisible());
}

// From "ja" in the test window to "neues Nimbrel flashen und testen".
void testAndLabel(Station& station, Job& job, const QString& serial)
{
    TestSoftware& test = *job.test;
    QCOMPARE(labelText(test, "lblSeriennummerTarvelin"), serial);
    click(test, "btnLEDOK");
    QTRY_VERIFY_WITH_TIMEOUT(child<QCheckBox>(test, "cbInterfaces")->isChecked(), 30000);
    // The additionals were there before the last test passed: nothing opened on its own.
    QVERIFY(
        QFileInfo::exists(station.env.path(QStringLiteral("configs/extract/additionals/calibration.json"))));
    QVERIFY(test.findChildren<PrintLabels*>().isEmpty());
    QVERIFY(child<QCheckBox>(test, "cbTestTaster")->isChecked());
    QVERIFY(child<QCheckBox>(test, "cbResetTaster")->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(test.findChildren<AssignMacs*>().isEmpty(), 20000); // MACs registered
    QTRY_VERIFY(child<QPushButton>(test, "btnLEDOK")->isEnabled());
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());

    click(test, "btnOpenPrintDialog");
    QVERIFY(!test.isVisible());
    job.labels = test.findChild<PrintLabels*>();
    QVERIFY(job.labels && job.labels->isVisible());
    click(*job.labels, "btnPrintLabel1");
    click(*job.labels, "btnPrintLabel2");
    click(*job.labels, "btnPrintLabel3");
    QPushButton* close = child<QPushButton>(*job.labels, "btnClose");
    QTRY_VERIFY_WITH_TIMEOUT(close->isEnabled(), 20000);
    QTest::mouseClick(close, Qt::LeftButton);
    QVERIFY(!job.labels->isVisible());
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

void wholeDevice(Station& station, Job& job, const QString& orderNumber, const QString& serial)
{
    STEP(scan(*station.window, orderNumber));
    STEP(flash(*station.window, job));
    STEP(testAndLabel(station, job, serial));
}

// --- what the world saw ---

QStringList flashScripts(const TestEnvironment& env, const QString& imageFile, const QString& serial)
{
    return {"FLASH -i|" + env.path("images/" + imageFile) + "|-a|" +
                env.path(QStringLiteral("configs/extract/")) + "|-s|" + serial + "|-l|" +
                env.path(QStringLiteral("log/")) + "|-t",
            "RELAY 5|OFF", "RELAY 8|OFF", "RELAY 5|ON", "RELAY 8|ON"};
}

QStringList testScripts(const QString& serial)
{
    return {"PING -c|1|-w|10|192.168.2.251",
            "MAC eth0",
            "MAC eth1",
            "TESTTASTER " + serial,
            "RESETTASTER " + serial,
            "INTERFACES " + serial};
}

QStringList labelScripts(const TestEnvironment& env)
{
    const QString labels = env.path(QStringLiteral("configs/extract/labels/"));
    return {"PRINT " + labels + "device.pdf",
            "PRINT " + labels + "manual.pdf",
            "PRINT " + labels + "cabinet.pdf",
            "PRINT " + labels + "package.pdf",
            "RELAY 5|OFF",
            "RELAY 8|OFF"};
}

const QStringList powerOn{"RELAY 5|ON", "RELAY 8|ON"};

// The production-test service was stopped once, after the tests, before the device went off.
void disableProduction(const TestEnvironment& env)
{
    const QList<QJsonObject> runs = env.scriptRuns(QStringLiteral("DISABLEPRODUCTION"));
    QCOMPARE(runs.size(), 1);
    QCOMPARE(argsOf(runs.first()), QStringList{QString()});
    const QList<QJsonObject> interfaces = env.scriptRuns(QStringLiteral("INTERFACES"));
    QVERIFY(!interfaces.isEmpty());
    QVERIFY(runs.first().value("start").toDouble() >= interfaces.last().value("end").toDouble());
    const QJsonObject powerOff =
        env.scriptRuns(QStringLiteral("RELAY")).value(env.scriptRuns("RELAY").size() - 2);
    QCOMPARE(argsOf(powerOff), (QStringList{"5", "OFF"}));
    QVERIFY(runs.first().value("end").toDouble() <= powerOff.value("start").toDouble());
}

// Every script ran where the station stands, the flash script in its own folder.
void workingDirectories(const TestEnvironment& env)
{
    for (const QJsonObject& run : env.scriptRuns()) {
        const bool isFlash = run.value("role").toString() == QLatin1String("FLASH");
        QCOMPARE(run.value("cwd").toString(), env.stationDir() + (isFlash ? "/flash" : ""));
        if (isFlash)
            QCOMPARE(run.value("program").toString(), QStringLiteral("./4R0417_stage1.sh"));
        if (run.value("role").toString() == QLatin1String("PING")) // the fake, never the real one
            QCOMPARE(run.value("program").toString(), env.stationDir() + "/bin/ping");
        if (run.value("role").toString() == QLatin1String("PRINT"))
            QCOMPARE(run.value("program").toString(), env.stationDir() + "/printlabel.sh");
    }
}

// Every configuration-manager request carried the configured token.
void authorization(const Simulator& sim)
{
    for (const QJsonObject& request : sim.requests()) {
        if (!request.value("path").toString().startsWith(QLatin1String("/api/v1/")))
            continue;
        bool present = false;
        QCOMPARE(Simulator::header(request, QStringLiteral("Authorization"), &present),
                 QStringLiteral("Bearer e2e"));
        QVERIFY(present);
    }
}

// The image was asked for without credentials, challenged, and fetched with them.
void imageFetched(const Simulator& sim, const QString& path)
{
    // One request: the credentials go with it, not only after a 401.
    const QList<QJsonObject> requests = sim.requests(path);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(Simulator::header(requests.at(0), QStringLiteral("Authorization")),
             "Basic " + QString::fromLatin1(QByteArray("station:geheim").toBase64()));
}

// The four labels went to the printer in order, each this device's.
void labelsPrinted(const TestEnvironment& env, const QString& serial)
{
    const QStringList files = printed(env);
    QCOMPARE(files, (QStringList{"001-device.pdf", "002-manual.pdf", "003-cabinet.pdf", "004-package.pdf"}));
    for (const QString& file : files) {
        const QByteArray pdf = readAll(env.path("printed/" + file));
        QVERIFY2(pdf.contains("(Seriennummer: " + serial.toLatin1() + ") Tj"), qPrintable(file));
        QVERIFY(pdf.contains("[" + file.mid(4).chopped(4).toLatin1() + "]"));
    }
}

// Nothing of the device stays on the station; the image does, for the next one.
void deviceFilesGone(const TestEnvironment& env, const QString& imageStem)
{
    QVERIFY(!QFileInfo::exists(env.path(QStringLiteral("configs/extract"))));
    QVERIFY(QFileInfo(env.path(QStringLiteral("configs"))).isDir());
    QCOMPARE(entries(env.path(QStringLiteral("configs"))), QStringList());
    QCOMPARE(entries(env.path(QStringLiteral("images"))),
             sorted({imageStem + "-img.tar.gz", imageStem + "-img.tar.gz.unpacked", imageStem + ".img"}));
}

void forgetPrints(const TestEnvironment& env)
{
    QVERIFY(FileUtils::removeDir(env.path(QStringLiteral("printed"))));
}

// G1234567 taken through the whole line; what it left in the records is then forgotten.
void firstDeviceDone(Station& station, Job& first)
{
    STEP(startStation(station));
    STEP(select(*station.window, QStringLiteral("1.2.0-dev")));
    STEP(wholeDevice(station, first, QStringLiteral("G1234567"), QStringLiteral("2400001")));
    station.sim.clearRequests();
    station.env.clearScriptRuns();
    STEP(forgetPrints(station.env));
}
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void oneWholeDevice_data();
    void oneWholeDevice();
    void fatReTestOfTheSameDevice();
    void secondDeviceRightAfterTheFirst();
    void snapshotStart();
};

void TestEndToEnd::oneWholeDevice_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("imagePath");
    QTest::addColumn<QString>("stopScript"); // run at "drucke Label"; empty: the production-test service
    QTest::addColumn<QString>("logLine");

    QTest::newRow("release 1: production-test service stopped")
        << "1.2.0-dev"
        << "/cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz"
        << ""
        << "Production test server was stopped";
    QTest::newRow("release 0: test server stopped")
        << "0.9.1-dev"
        << "/cls/nimbrel-4r0417/0.9.1/nimbrel-4r0417-0.9.1-dev-img.tar.gz"
        << "ENDTESTSERVER G1234567"
        << "Testserver was stopped";
}

void TestEndToEnd::oneWholeDevice()
{
    QFETCH(QString, version);
    QFETCH(QString, imagePath);
    QFETCH(QString, stopScript);
    QFETCH(QString, logLine);
    const QString imageStem = "nimbrel-4r0417-" + version;

    Station station;
    STEP(startStation(station));
    STEP(select(*station.window, version));
    QCOMPARE(labelText(*station.window, "txtImage"), QStringLiteral("nimbrel-4r0417"));
    Job job;
    STEP(wholeDevice(station, job, QStringLiteral("G1234567"), QStringLiteral("2400001")));
    const TestEnvironment& env = station.env;

    // The server: one serial number for the order, the device's MACs under it.
    const QJsonObject state = station.sim.state();
    QCOMPARE(state.value("serials").toObject(), (QJsonObject{{"G1234567", 2400001}}));
    QCOMPARE(state.value("macs").toObject(), (QJsonObject{{"2400001", macsOf(mac1Eth0, mac1Eth1)}}));

    const QStringList requests = requestLines(station.sim);
    const QString device = "article=4r0417&serialNumber=2400001";
    QCOMPARE(requests.mid(0, 4), (QStringList{"GET /api/v1/specs", "GET " + imagePath,
                                              "PUT /api/v1/assignSerialNumber?article=4r0417&version=" +
                                                  version + "&emsSerialNumber=G1234567",
                                              "GET /api/v1/configs?" + device}));
    // MACs and additionals travel side by side
    QCOMPARE(sorted(requests.mid(4)),
             sorted({"PUT /api/v1/assignMacAddresses?" + device, "GET /api/v1/additionals?" + device}));
    const QJsonObject macs = station.sim.requests(QStringLiteral("/api/v1/assignMacAddresses")).value(0);
    QCOMPARE(QJsonDocument::fromJson(macs.value("body").toString().toUtf8()).object(),
             macsOf(mac1Eth0, mac1Eth1));
    STEP(authorization(station.sim));
    STEP(imageFetched(station.sim, imagePath));

    // The station scripts, in the order they ran.
    QStringList scripts = powerOn + flashScripts(env, imageStem + ".img", "2400001") + testScripts("2400001");
    if (!stopScript.isEmpty())
        scripts << stopScript;
    scripts += labelScripts(env);
    QCOMPARE(scriptLines(env), scripts);
    if (stopScript.isEmpty())
        STEP(disableProduction(env));
    else
        QVERIFY(env.scriptRuns(QStringLiteral("DISABLEPRODUCTION")).isEmpty());
    STEP(workingDirectories(env));
    STEP(labelsPrinted(env, "2400001"));

    // The test log: the tests' lines, then the station's, in the newest file only.
    QCOMPARE(entries(env.path("test_log")), sorted({shiftLog, "testlog_2400001.txt"}));
    QCOMPARE(testLog(env, "testlog_2400001.txt"),
             (QStringList{"TESTTASTER 2400001 OK", "RESETTASTER 2400001 OK", "INTERFACES 2400001 OK", logLine,
                          "", ""}));
    QCOMPARE(readAll(env.path("test_log/" + shiftLog)), shiftLogText);

    STEP(deviceFilesGone(env, imageStem));
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

void TestEndToEnd::fatReTestOfTheSameDevice()
{
    Station station;
    Job first;
    STEP(firstDeviceDone(station, first));
    TestEnvironment& env = station.env;

    // The same device comes back for its acceptance test.
    click(*station.window, "btnFATTest");
    QPointer<FATTest> fat = station.window->findChild<FATTest*>();
    QVERIFY(fat && fat->isVisible());
    STEP(choose(child<QComboBox>(*fat, "cbArticle"), article));
    STEP(choose(child<QComboBox>(*fat, "cbSWVersion"), QStringLiteral("1.2.0-dev")));
    QTest::keyClicks(child<QLineEdit>(*fat, "txtEMSSerialNumber"), QStringLiteral("G1234567"));
    click(*fat, "btnOk");
    Job retest;
    QTRY_VERIFY_WITH_TIMEOUT((retest.test = fat->findChild<TestSoftware*>()), 20000);
    QVERIFY(!fat->isVisible());
    QVERIFY(retest.test->isVisible());
    STEP(testAndLabel(station, retest, QStringLiteral("2400001")));

    QCOMPARE(station.sim.state().value("serials").toObject(), (QJsonObject{{"G1234567", 2400001}}));
    const QString device = "article=4r0417&serialNumber=2400001";
    const QStringList requests = requestLines(station.sim);
    QCOMPARE(requests.mid(0, 2),
             (QStringList{
                 "PUT /api/v1/assignSerialNumber?article=4r0417&version=1.2.0-dev&emsSerialNumber=G1234567",
                 "GET /api/v1/configs?" + device}));
    QCOMPARE(sorted(requests.mid(2)),
             sorted({"PUT /api/v1/assignMacAddresses?" + device, "GET /api/v1/additionals?" + device}));
    STEP(authorization(station.sim));

    // Not flashed again: switched on, tested, labelled, switched off.
    QCOMPARE(scriptLines(env), powerOn + testScripts("2400001") + labelScripts(env));
    STEP(disableProduction(env));
    STEP(workingDirectories(env));
    STEP(labelsPrinted(env, "2400001"));
    QCOMPARE(testLog(env, "testlog_2400001.txt"),
             (QStringList{"TESTTASTER 2400001 OK", "RESETTASTER 2400001 OK", "INTERFACES 2400001 OK",
                          "Production test server was stopped", "", "TESTTASTER 2400001 OK",
                          "RESETTASTER 2400001 OK", "INTERFACES 2400001 OK",
                          "Production test server was stopped", "", ""}));
    STEP(deviceFilesGone(env, QStringLiteral("nimbrel-4r0417-1.2.0-dev")));
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

void TestEndToEnd::secondDeviceRightAfterTheFirst()
{
    Station station;
    Job first;
    STEP(firstDeviceDone(station, first));
    TestEnvironment& env = station.env;

    // The next device on the line has addresses of its own.
    const QString mac2Eth0 = QStringLiteral("02:4e:49:4d:07:01");
    const QString mac2Eth1 = QStringLiteral("02:4e:49:4d:07:02");
    station.switches.set("NIMBREL_FAKE_MAC_ETH0", mac2Eth0.toLatin1());
    station.switches.set("NIMBREL_FAKE_MAC_ETH1", mac2Eth1.toLatin1());
    Job second;
    STEP(scan(*station.window, QStringLiteral("G7654321")));
    QVERIFY(station.window->orderDialog() != first.order.data());
    // The first job's windows went with its order dialog.
    QTRY_VERIFY(first.order.isNull());
    QVERIFY(first.flash.isNull());
    QVERIFY(first.test.isNull());
    QVERIFY(first.labels.isNull());
    STEP(flash(*station.window, second));
    STEP(testAndLabel(station, second, QStringLiteral("2400002")));

    const QJsonObject state = station.sim.state();
    QCOMPARE(state.value("serials").toObject(), (QJsonObject{{"G1234567", 2400001}, {"G7654321", 2400002}}));
    QCOMPARE(state.value("macs").toObject(),
             (QJsonObject{{"2400001", macsOf(mac1Eth0, mac1Eth1)}, {"2400002", macsOf(mac2Eth0, mac2Eth1)}}));

    // The image is on disk already; everything else is asked for the second device only.
    const QString device = "article=4r0417&serialNumber=2400002";
    const QStringList requests = requestLines(station.sim);
    QCOMPARE(requests.mid(0, 2),
             (QStringList{
                 "PUT /api/v1/assignSerialNumber?article=4r0417&version=1.2.0-dev&emsSerialNumber=G7654321",
                 "GET /api/v1/configs?" + device}));
    QCOMPARE(sorted(requests.mid(2)),
             sorted({"PUT /api/v1/assignMacAddresses?" + device, "GET /api/v1/additionals?" + device}));
    for (const QJsonObject& request : station.sim.requests()) {
        const QString seen = requestLine(request) + request.value("body").toString();
        QVERIFY2(!seen.contains("2400001") && !seen.contains("G1234567"), qPrintable(seen));
    }
    const QJsonObject macs = station.sim.requests(QStringLiteral("/api/v1/assignMacAddresses")).value(0);
    QCOMPARE(QJsonDocument::fromJson(macs.value("body").toString().toUtf8()).object(),
             macsOf(mac2Eth0, mac2Eth1));
    STEP(authorization(station.sim));

    QCOMPARE(scriptLines(env), powerOn + flashScripts(env, "nimbrel-4r0417-1.2.0-dev.img", "2400002") +
                                   testScripts("2400002") + labelScripts(env));
    STEP(disableProduction(env));
    STEP(labelsPrinted(env, "2400002"));

    // Each device's log got its own line.
    QCOMPARE(entries(env.path("test_log")), sorted({shiftLog, "testlog_2400001.txt", "testlog_2400002.txt"}));
    QCOMPARE(testLog(env, "testlog_2400001.txt").count("Production test server was stopped"), 1);
    QCOMPARE(testLog(env, "testlog_2400002.txt"),
             (QStringList{"TESTTASTER 2400002 OK", "RESETTASTER 2400002 OK", "INTERFACES 2400002 OK",
                          "Production test server was stopped", "", ""}));
    QCOMPARE(readAll(env.path("test_log/" + shiftLog)), shiftLogText);
    STEP(deviceFilesGone(env, QStringLiteral("nimbrel-4r0417-1.2.0-dev")));
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

void TestEndToEnd::snapshotStart()
{
    Station station;
    STEP(startStation(station));
    // As started with --snap 4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz
    station.window->setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    Job job;
    STEP(wholeDevice(station, job, QStringLiteral("G1234567"), QStringLiteral("2400001")));
    const TestEnvironment& env = station.env;
    const QString snapName = QStringLiteral("4r0417-1.2.3-snap-2024-05-17-a1b2c3");
    const QString imagePath = "/cls/4r0417/snapshots/" + snapName + "-img.tar.gz";

    const QString device = "article=4r0417&serialNumber=2400001";
    const QStringList requests = requestLines(station.sim);
    QCOMPARE(requests.mid(0, 4),
             (QStringList{
                 "GET /api/v1/specs", "GET " + imagePath,
                 "PUT /api/v1/assignSerialNumber?article=4r0417&version=1.2.3-dev&emsSerialNumber=G1234567",
                 "GET /api/v1/configs?" + device}));
    QCOMPARE(sorted(requests.mid(4)),
             sorted({"PUT /api/v1/assignMacAddresses?" + device, "GET /api/v1/additionals?" + device}));
    STEP(imageFetched(station.sim, imagePath));
    STEP(authorization(station.sim));

    QCOMPARE(scriptLines(env), powerOn + flashScripts(env, snapName + ".img", "2400001") +
                                   testScripts("2400001") + labelScripts(env));
    STEP(disableProduction(env)); // 1.2.3: major release 1
    STEP(labelsPrinted(env, "2400001"));
    STEP(deviceFilesGone(env, snapName));
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

NIMBREL_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
