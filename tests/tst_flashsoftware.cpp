#include "configmanager.h"
#include "flashsession.h"
#include "flashsoftware.h"
#include "logcapture.h"
#include "messagebox.h"
#include "powercontrol.h"
#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"
#include "testsoftware.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QUrlQuery>

namespace {
StationTimings fastTimings(int microcontrollerWaitMs = 300)
{
    StationTimings timings;
    timings.microcontrollerWaitMs = microcontrollerWaitMs;
    timings.progressTickMs = 10;
    timings.flashPauseMs = 0;
    return timings;
}

// The fake flash script refuses an image file that is not there.
struct CheckImage
{
    CheckImage() { qputenv("NIMBREL_FAKE_CHECK_IMAGE", "1"); }
    ~CheckImage() { qunsetenv("NIMBREL_FAKE_CHECK_IMAGE"); }
};

void fillSession(FlashSession& session, const QString& swVersion = QStringLiteral("1.2.0-dev"))
{
    session.setArticle(QStringLiteral("4r0417"));
    session.setSwVersion(swVersion);
    session.setImage(QStringLiteral("nimbrel-4r0417"));
    session.setOrderNumber(QStringLiteral("G1234567"));
    session.setSerialNumber(QStringLiteral("2399999")); // the previous device's
}

QCheckBox* checkBox(const FlashSoftware& dialog, const char* name)
{
    return dialog.findChild<QCheckBox*>(QLatin1String(name));
}

QPushButton* button(const FlashSoftware& dialog, const char* name)
{
    return dialog.findChild<QPushButton*>(QLatin1String(name));
}

int bar(const FlashSoftware& dialog)
{
    return dialog.findChild<QProgressBar*>(QStringLiteral("pbStatus"))->value();
}

// The step boxes in their order, as ticked marks ("x") and blanks ("-").
QString ticks(const FlashSoftware& dialog)
{
    QString marks;
    for (const char* name : {"cbDownloadImage", "cbEMSSerialnumberassigned", "cbDownloadConfig",
                             "cbFlashFirmware", "cbRebootNimbrel", "cbFlashMSP"})
        marks += checkBox(dialog, name)->isChecked() ? QLatin1Char('x') : QLatin1Char('-');
    return marks;
}

// Which of weiter / flashen / abbrechen can be pressed.
QString buttons(const FlashSoftware& dialog)
{
    QStringList enabled;
    for (const char* name : {"btnOpenPrintDialog", "btnRetry", "btnCancel"}) {
        if (button(dialog, name)->isEnabled())
            enabled << QLatin1String(name);
    }
    return enabled.join(QLatin1Char(' '));
}

// Lets step 3 report success, which starts the flash script.
void configDownloaded(FlashSoftware& dialog)
{
    emit dialog.findChild<ConfigManager*>()->downloadConfigComplete(QString());
}

QStringList arguments(const QJsonObject& run)
{
    QStringList list;
    for (const QJsonValue& value : run.value(QStringLiteral("args")).toArray())
        list << value.toString();
    return list;
}

// Method and path of every request the server side saw, in order.
QStringList requestLines(const Simulator& sim)
{
    QStringList lines;
    for (const QJsonObject& request : sim.requests())
        lines << request.value(QStringLiteral("method")).toString() + QLatin1Char(' ') +
                     request.value(QStringLiteral("path")).toString();
    return lines;
}

QString queryItem(const QJsonObject& request, const QString& name)
{
    return QUrlQuery(Simulator::queryString(request)).queryItemValue(name);
}

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

    void form_data();
    void form();
    void escapeAndCloseDoNothing();
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

void TestFlashSoftware::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("label") << "label"
                           << "QLabel"
                           << "Flash Software und Konfig" << QRect(10, 10, 221, 20);
    QTest::newRow("image") << "cbDownloadImage"
                           << "QCheckBox"
                           << "download Image" << QRect(10, 40, 231, 26);
    QTest::newRow("serial") << "cbEMSSerialnumberassigned"
                            << "QCheckBox"
                            << "Seriennummer zugeordnet" << QRect(10, 80, 331, 26);
    QTest::newRow("config") << "cbDownloadConfig"
                            << "QCheckBox"
                            << "Download Config" << QRect(10, 120, 231, 26);
    QTest::newRow("flash") << "cbFlashFirmware"
                           << "QCheckBox"
                           << "Flash Linux" << QRect(10, 160, 331, 26);
    QTest::newRow("reboot") << "cbRebootNimbrel"
                            << "QCheckBox"
                            << "Gerät neugestartet" << QRect(10, 200, 331, 26);
    QTest::newRow("msp") << "cbFlashMSP"
                         << "QCheckBox"
                         << "Flash Microcontroller " << QRect(10, 240, 331, 26);
    QTest::newRow("bar") << "pbStatus"
                         << "QProgressBar"
                         << "" << QRect(10, 270, 331, 23);
    QTest::newRow("cancel") << "btnCancel"
                            << "QPushButton"
                            << "abbrechen" << QRect(10, 311, 101, 29);
    QTest::newRow("retry") << "btnRetry"
                           << "QPushButton"
                           << "flashen" << QRect(125, 310, 101, 31);
    QTest::newRow("next") << "btnOpenPrintDialog"
                          << "QPushButton"
                          << "weiter" << QRect(240, 311, 101, 29);
}

void TestFlashSoftware::form()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);

    TestEnvironment env;
    FlashSoftware dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("FlashSoftware"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Flash Nimbrel"));
    QCOMPARE(dialog.size(), QSize(347, 354));
    QCOMPARE(buttons(dialog), QStringLiteral("btnCancel"));
    QCOMPARE(ticks(dialog), QStringLiteral("------"));

    QWidget* widget = dialog.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
    if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 265);
        QCOMPARE(bar->value(), 0);
        QVERIFY(!bar->isTextVisible());
    } else {
        QCOMPARE(widget->property("text").toString(), text);
    }
    if (auto* box = qobject_cast<QCheckBox*>(widget))
        QVERIFY(!box->isTristate());
}

void TestFlashSoftware::escapeAndCloseDoNothing()
{
    TestEnvironment env;
    FlashSoftware dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QVERIFY(!dialog.close());
    QVERIFY(dialog.isVisible());
}

void TestFlashSoftware::wholeChain_data()
{
    QTest::addColumn<QString>("swVersion");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("snapImageName");
    QTest::addColumn<QString>("serverPath");
    QTest::addColumn<QString>("imageFile");
    QTest::addColumn<QString>("sentVersion"); // the server knows snapshots by their dev version

    QTest::newRow("release") << "1.2.0-dev"
                             << "nimbrel-4r0417"
                             << ""
                             << "/cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz"
                             << "nimbrel-4r0417-1.2.0-dev.img"
                             << "1.2.0-dev";
    QTest::newRow("release, snap without hyphen")
        << "1.2.0snap"
        << "nimbrel-4r0417"
        << "4r0417-1.2.3-snap-2024-05-17-a1b2c3"
        << "/cls/nimbrel-4r0417/1.2.0snap/nimbrel-4r0417-1.2.0snap-img.tar.gz"
        << "nimbrel-4r0417-1.2.0snap.img"
        << "1.2.0dev";
    QTest::newRow("snap") << "1.2.3-snap"
                          << "4r0417"
                          << "4r0417-1.2.3-snap-2024-05-17-a1b2c3"
                          << "/cls/4r0417/snapshots/4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz"
                          << "4r0417-1.2.3-snap-2024-05-17-a1b2c3.img"
                          << "1.2.3-dev";
}

void TestFlashSoftware::wholeChain()
{
    QFETCH(QString, swVersion);
    QFETCH(QString, image);
    QFETCH(QString, snapImageName);
    QFETCH(QString, serverPath);
    QFETCH(QString, imageFile);
    QFETCH(QString, sentVersion);

    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    StationTimings::setForTesting(fastTimings());
    CheckImage checkImage;
    LogCapture log;

    FlashSession session;
    fillSession(session, swVersion);
    session.setImage(image);
    session.setSnapImageName(snapImageName);
    session.setSnapDate(QStringLiteral("2024-05-17"));
    session.setCommitHash(QStringLiteral("a1b2c3"));

    FlashSoftware dialog;
    dialog.setFlashSession(&session);
    QCOMPARE(dialog.flashSession(), &session);
    dialog.show();
    dialog.startFlashSequence();
    QTRY_VERIFY_WITH_TIMEOUT(checkBox(dialog, "cbFlashMSP")->isChecked(), 60000);

    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    QCOMPARE(ticks(dialog), QStringLiteral("xxxxxx"));
    QCOMPARE(bar(dialog), 265);
    QCOMPARE(buttons(dialog), QStringLiteral("btnOpenPrintDialog btnCancel"));
    QCOMPARE(session.serialNumber(), QStringLiteral("2400001"));

    QCOMPARE(requestLines(sim),
             QStringList({"GET " + serverPath, QStringLiteral("PUT /api/v1/assignSerialNumber"),
                          QStringLiteral("GET /api/v1/configs")}));
    const QJsonObject assign = sim.requests(QStringLiteral("/api/v1/assignSerialNumber")).value(0);
    QCOMPARE(queryItem(assign, QStringLiteral("article")), QStringLiteral("4r0417"));
    QCOMPARE(queryItem(assign, QStringLiteral("version")), sentVersion);
    QCOMPARE(queryItem(assign, QStringLiteral("emsSerialNumber")), QStringLiteral("G1234567"));
    const QJsonObject config = sim.requests(QStringLiteral("/api/v1/configs")).value(0);
    QCOMPARE(queryItem(config, QStringLiteral("article")), QStringLiteral("4r0417"));
    QCOMPARE(queryItem(config, QStringLiteral("serialNumber")), QStringLiteral("2400001"));

    const QList<QJsonObject> flashes = env.scriptRuns(QStringLiteral("FLASH"));
    QCOMPARE(flashes.size(), 1);
    const QJsonObject flash = flashes.first();
    QCOMPARE(flash.value(QStringLiteral("program")).toString(), QStringLiteral("./4R0417_stage1.sh"));
    QCOMPARE(flash.value(QStringLiteral("cwd")).toString(), env.stationDir() + QStringLiteral("/flash"));
    QCOMPARE(arguments(flash), QStringList({"-i", env.path("images/" + imageFile), "-a",
                                            env.path(QStringLiteral("configs/extract/")), "-s", "2400001",
                                            "-l", env.path(QStringLiteral("log/")), "-t"}));
    QCOMPARE(flash.value(QStringLiteral("exit")).toInt(), 0); // the image file was there

    // The power cycle comes after the flash script has ended.
    QStringList relay;
    for (const QJsonObject& run : env.scriptRuns(QStringLiteral("RELAY"))) {
        QVERIFY(run.value(QStringLiteral("start")).toDouble() >=
                flash.value(QStringLiteral("end")).toDouble());
        relay << arguments(run).join(QLatin1Char(' '));
    }
    QCOMPARE(relay, QStringList({"5 OFF", "8 OFF", "5 ON", "8 ON"}));

    // "weiter" hands the device over to the test window.
    QTest::mouseClick(button(dialog, "btnOpenPrintDialog"), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    const QList<TestSoftware*> testWindows = dialog.findChildren<TestSoftware*>();
    QCOMPARE(testWindows.size(), 1);
    QVERIFY(testWindows.first()->isVisible());
    QCOMPARE(testWindows.first()->findChild<QLabel*>(QStringLiteral("lblSeriennummerTarvelin"))->text(),
             QStringLiteral("2400001"));

    int at = 0;
    for (const char* line : {"download Image complete", "assign Serial Number",
                             "assinged serialnumber 2400001", "download Config", "flash firmware",
                             "Flashen für Seriennummer 2400001", "SUCCESS", "restartNimbrel"}) {
        at = log.indexOf(line, at);
        QVERIFY2(at >= 0, qPrintable(line));
    }
}

void TestFlashSoftware::stepFailures_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("warning"); // "…" stands for the start of the client's error text
    QTest::addColumn<QString>("ticked");
    QTest::addColumn<int>("progress");
    QTest::addColumn<QString>("enabled");
    QTest::addColumn<QStringList>("requests");

    const QString image = QStringLiteral("GET /cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz");
    const QString assign = QStringLiteral("PUT /api/v1/assignSerialNumber");
    const QString configs = QStringLiteral("GET /api/v1/configs");
    QTest::newRow("image") << "image"
                           << "status:404:"
                           << "… - server replied: Not Found"
                           << "------" << 0 << "btnRetry btnCancel" << QStringList{image};
    QTest::newRow("serial refused") << "assignSerialNumber"
                                    << R"(status:422:{"message":"Auftrag gesperrt"})"
                                    << "Auftrag gesperrt"
                                    << "x-----" << 25 << "btnCancel" << QStringList{image, assign};
    QTest::newRow("no serial") << "assignSerialNumber"
                               << R"(status:200:{"serialNumber":""})"
                               << "Keine gültige Seriennummer vom Server erhalten!"
                               << "x-----" << 25 << "btnCancel" << QStringList{image, assign};
    QTest::newRow("serial with a slash") << "assignSerialNumber"
                                         << R"(status:200:{"serialNumber":"../24"})"
                                         << "Keine gültige Seriennummer vom Server erhalten!"
                                         << "x-----" << 25 << "btnCancel" << QStringList{image, assign};
    QTest::newRow("config") << "configs"
                            << R"(status:500:{"message":"Konfiguration fehlt"})"
                            << "Konfiguration fehlt"
                            << "xx----" << 50 << "btnRetry btnCancel" << QStringList{image, assign, configs};
    QTest::newRow("config already there")
        << ""
        << ""
        << "Konfigurationsdatein sind bereits heruntergeladen!"
        << "xx----" << 50 << "btnRetry btnCancel" << QStringList{image, assign};
}

void TestFlashSoftware::stepFailures()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, fault);
    QFETCH(QString, warning);
    QFETCH(QString, ticked);
    QFETCH(int, progress);
    QFETCH(QString, enabled);
    QFETCH(QStringList, requests);

    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    StationTimings::setForTesting(fastTimings());
    if (!endpoint.isEmpty())
        QVERIFY(sim.setFault(endpoint, fault));
    else { // left behind for the serial number the simulator hands out first
        QVERIFY(QDir().mkpath(env.path(QStringLiteral("configs"))));
        QFile archive(env.path(QStringLiteral("configs/nimbrel-4r0417-1.2.0-dev-2400001.tar.gz")));
        QVERIFY(archive.open(QIODevice::WriteOnly));
    }

    FlashSession session;
    fillSession(session);
    FlashSoftware dialog;
    dialog.setFlashSession(&session);
    dialog.show();
    dialog.startFlashSequence();

    const QList<MessageBox::Shown> shown = waitForBoxes();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().kind, MessageBox::Warning);
    if (warning.startsWith(QChar(0x2026)))
        QVERIFY2(shown.first().text.endsWith(warning.mid(1)), qPrintable(shown.first().text));
    else
        QCOMPARE(shown.first().text, warning);
    QCOMPARE(ticks(dialog), ticked);
    QCOMPARE(bar(dialog), progress);
    QCOMPARE(buttons(dialog), enabled);
    QCOMPARE(requestLines(sim), requests);
    QVERIFY(env.scriptRuns(QStringLiteral("FLASH")).isEmpty());
    QVERIFY(env.scriptRuns(QStringLiteral("RELAY")).isEmpty());
    if (ticked == QLatin1String("x-----")) // never the previous device's number
        QCOMPARE(session.serialNumber(), QStringLiteral("2399999"));
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

    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    FlashSession session;
    fillSession(session);
    FlashSoftware dialog;
    dialog.setFlashSession(&session);
    emit dialog.findChild<ConfigManager*>()->assingedSerialnummber(serialNumber, QString());

    QCOMPARE(MessageBox::takeShownTextsForTesting(),
             QStringList{QStringLiteral("Keine gültige Seriennummer vom Server erhalten!")});
    QCOMPARE(session.serialNumber(), QStringLiteral("2399999"));
    QCOMPARE(ticks(dialog), QStringLiteral("------"));
    QCOMPARE(buttons(dialog), QStringLiteral("btnCancel"));
    QTest::qWait(50);
    QVERIFY(sim.requests().isEmpty());
}

void TestFlashSoftware::retryAfterFailedImageDownload()
{
    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    StationTimings::setForTesting(fastTimings());
    QVERIFY(sim.setFault(QStringLiteral("image"), QStringLiteral("status:500:"), 1));

    // What an earlier attempt left: the extracted folder and this device's config archive,
    // next to another device's archive that must stay.
    QVERIFY(QDir().mkpath(env.path(QStringLiteral("configs/extract/sub"))));
    const QStringList files{"configs/extract/stale.pdf", "configs/extract/sub/x.txt",
                            "configs/nimbrel-4r0417-1.2.0-dev-2399999.tar.gz",
                            "configs/nimbrel-4r0417-1.2.0-dev-2400555.tar.gz"};
    for (const QString& name : files) {
        QFile file(env.path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    FlashSession session;
    fillSession(session);
    FlashSoftware dialog;
    dialog.setFlashSession(&session);
    dialog.show();
    dialog.startFlashSequence();
    QCOMPARE(waitForBoxes().size(), 1);
    QCOMPARE(buttons(dialog), QStringLiteral("btnRetry btnCancel"));
    QCOMPARE(bar(dialog), 0);

    env.clearScriptRuns();
    QTest::mouseClick(button(dialog, "btnRetry"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(checkBox(dialog, "cbFlashMSP")->isChecked(), 60000);

    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
    QCOMPARE(buttons(dialog), QStringLiteral("btnOpenPrintDialog btnCancel"));
    QVERIFY(!QFile::exists(env.path(files.at(0))));
    QVERIFY(!QFile::exists(env.path(files.at(1))));
    QVERIFY(!QFile::exists(env.path(files.at(2))));
    QVERIFY(QFile::exists(env.path(files.at(3))));
    QVERIFY(QFile::exists(env.path(QStringLiteral("configs/nimbrel-4r0417-1.2.0-dev-2400001.tar.gz"))));

    const QString image = QStringLiteral("GET /cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz");
    QCOMPARE(requestLines(sim), QStringList({image, image, QStringLiteral("PUT /api/v1/assignSerialNumber"),
                                             QStringLiteral("GET /api/v1/configs")}));

    // Power cycle of the retry, the flash, then the reboot's power cycle.
    QStringList order;
    for (const QJsonObject& run : env.scriptRuns())
        order << run.value(QStringLiteral("role")).toString() + QLatin1Char(' ') +
                     arguments(run).mid(0, 2).join(QLatin1Char(' '));
    QCOMPARE(order,
             QStringList({"RELAY 5 OFF", "RELAY 8 OFF", "RELAY 5 ON", "RELAY 8 ON",
                          "FLASH -i " + env.path(QStringLiteral("images/nimbrel-4r0417-1.2.0-dev.img")),
                          "RELAY 5 OFF", "RELAY 8 OFF", "RELAY 5 ON", "RELAY 8 ON"}));
}

void TestFlashSoftware::imageDownloadMovesBar()
{
    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start({QStringLiteral("--image-size"), QStringLiteral("4M")}));
    env.pointAt(sim.baseUrl());
    StationTimings::setForTesting(fastTimings());
    QVERIFY(sim.setFault(QStringLiteral("image"), QStringLiteral("slow:4000000")));

    FlashSession session;
    fillSession(session);
    FlashSoftware dialog;
    QSignalSpy values(dialog.findChild<QProgressBar*>(QStringLiteral("pbStatus")),
                      &QProgressBar::valueChanged);
    dialog.setFlashSession(&session);
    dialog.startFlashSequence();
    QTRY_VERIFY_WITH_TIMEOUT(checkBox(dialog, "cbDownloadImage")->isChecked(), 30000);

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
    QTest::addColumn<QString>("exit");
    QTest::addColumn<QString>("scriptName");
    QTest::addColumn<QString>("scriptFolder");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("exit code 1") << "1"
                                 << ""
                                 << ""
                                 << "ERROR";
    QTest::newRow("crash") << "crash"
                           << ""
                           << ""
                           << "error enum val = Crashed";
    QTest::newRow("script missing") << "0"
                                    << "./fehlt.sh"
                                    << ""
                                    << "error enum val = FailedToStart";
    QTest::newRow("folder missing") << "0"
                                    << ""
                                    << "nirgends/"
                                    << "error enum val = FailedToStart";
}

void TestFlashSoftware::flashFailure()
{
    QFETCH(QString, exit);
    QFETCH(QString, scriptName);
    QFETCH(QString, scriptFolder);
    QFETCH(QString, logLine);

    TestEnvironment env;
    StationTimings timings = fastTimings();
    timings.progressTickMs = 30; // slow enough that the bar cannot reach 175 before the script ends
    StationTimings::setForTesting(timings);
    TestEnvironment::setScriptExit(QStringLiteral("FLASH"), exit);
    if (!scriptName.isEmpty())
        Settings::setValue(QStringLiteral("FlashScriptName"), scriptName);
    if (!scriptFolder.isEmpty())
        Settings::setValue(QStringLiteral("FlashScriptPath"), env.path(scriptFolder));
    LogCapture log;

    FlashSession session;
    fillSession(session);
    FlashSoftware dialog;
    dialog.setFlashSession(&session);
    configDownloaded(dialog);

    const QList<MessageBox::Shown> shown = waitForBoxes();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().kind, MessageBox::Critical);
    QCOMPARE(shown.first().text, QStringLiteral("Flashvorgang fehlgeschlagen!"));
    QCOMPARE(buttons(dialog), QStringLiteral("btnRetry btnCancel"));
    QCOMPARE(ticks(dialog), QStringLiteral("--x---"));
    QVERIFY(log.contains(logLine));
    QVERIFY(!log.contains(QStringLiteral("SUCCESS")));

    // The clock has stopped: the bar stays where the failure left it.
    const int frozen = bar(dialog);
    QVERIFY2(frozen >= 75 && frozen < 175, qPrintable(QString::number(frozen)));
    QTest::qWait(10 * timings.progressTickMs);
    QCOMPARE(bar(dialog), frozen);
    QVERIFY(env.scriptRuns(QStringLiteral("RELAY")).isEmpty());
}

void TestFlashSoftware::progressRuleAndOutputAsItArrives()
{
    TestEnvironment env;
    StationTimings timings = fastTimings(1500);
    timings.progressTickMs = 5;
    StationTimings::setForTesting(timings);
    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 4);
    LogCapture log;

    FlashSession session;
    fillSession(session);
    FlashSoftware dialog;
    dialog.setFlashSession(&session);
    configDownloaded(dialog);
    QCOMPARE(bar(dialog), 75);

    // While the script runs the bar climbs to 175 and waits there; its output is logged meanwhile.
    QTRY_COMPARE_WITH_TIMEOUT(bar(dialog), 175, 3500);
    QVERIFY(log.contains(QStringLiteral("Flashen für Seriennummer 2399999 gestartet")));
    QTest::qWait(30 * timings.progressTickMs);
    QVERIFY(env.scriptRuns(QStringLiteral("FLASH")).isEmpty());
    QCOMPARE(bar(dialog), 175);
    QVERIFY(!checkBox(dialog, "cbFlashFirmware")->isChecked());

    // After the reboot it creeps on from 190 until the microcontroller wait is over.
    QTRY_VERIFY_WITH_TIMEOUT(checkBox(dialog, "cbRebootNimbrel")->isChecked(), 15000);
    QVERIFY(bar(dialog) >= 190);
    QTRY_VERIFY(bar(dialog) > 192);
    QVERIFY(!checkBox(dialog, "cbFlashMSP")->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(checkBox(dialog, "cbFlashMSP")->isChecked(), 5000);
    QCOMPARE(bar(dialog), 265);
    QTest::qWait(30 * timings.progressTickMs);
    QCOMPARE(bar(dialog), 265);
    QVERIFY(log.contains(QStringLiteral("Flashvorgang abgeschlossen")));
}

void TestFlashSoftware::cancelDuringFlashing()
{
    TestEnvironment env;
    StationTimings::setForTesting(fastTimings());
    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 1.5);
    LogCapture log;

    FlashSession session;
    fillSession(session);
    FlashSoftware dialog;
    dialog.setFlashSession(&session);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    configDownloaded(dialog);
    QTRY_VERIFY(log.contains(QStringLiteral("Flashen für Seriennummer")));

    QTest::mouseClick(button(dialog, "btnCancel"), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QVERIFY(log.contains(QStringLiteral("cancel flashing")));

    // The script is left to finish its work.
    QTRY_COMPARE_WITH_TIMEOUT(env.scriptRuns(QStringLiteral("FLASH")).size(), 1, 10000);
    QCOMPARE(env.scriptRuns(QStringLiteral("FLASH")).first().value(QStringLiteral("exit")).toInt(), 0);
}

void TestFlashSoftware::deletedWhileFlashing()
{
    TestEnvironment env;
    StationTimings::setForTesting(fastTimings());
    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 20);
    LogCapture log;

    FlashSession session;
    fillSession(session);
    auto* dialog = new FlashSoftware;
    dialog->setFlashSession(&session);
    dialog->show();
    configDownloaded(*dialog);
    QTRY_VERIFY(log.contains(QStringLiteral("Flashen für Seriennummer")));

    QElapsedTimer clock;
    clock.start();
    delete dialog;
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(log.contains(QStringLiteral("stopping the flash script")));

    const QList<QJsonObject> runs = env.scriptRuns(QStringLiteral("FLASH"));
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs.first().value(QStringLiteral("exit")).toInt(), -15); // terminated
    QTest::qWait(50);
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

// The reboot's power cycle serves events between the relays; a job replaced meanwhile
// must not be touched when the wait returns.
void TestFlashSoftware::deletedWhileRebooting()
{
    TestEnvironment env;
    StationTimings::setForTesting(fastTimings());
    LogCapture log;

    FlashSession session;
    fillSession(session);
    QPointer<FlashSoftware> dialog = new FlashSoftware;
    dialog->setFlashSession(&session);
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, this, [&dialog] {
        if (dialog && PowerControl::isWaiting())
            delete dialog;
    });
    watcher.start(5);
    configDownloaded(*dialog);

    QTRY_VERIFY_WITH_TIMEOUT(!dialog, 10000);
    QVERIFY(log.contains(QStringLiteral("restartNimbrel")));
    QTest::qWait(200); // the rest of the power cycle and the microcontroller wait
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

NIMBREL_TEST_MAIN(TestFlashSoftware)
#include "tst_flashsoftware.moc"
