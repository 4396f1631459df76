#include "assignmacs.h"
#include "configmanager.h"
#include "fattest.h"
#include "flashsoftware.h"
#include "mainwindow.h"
#include "printlabels.h"
#include "scanbarcode.h"
#include "selectsoftware.h"
#include "settings.h"
#include "simulator.h"
#include "snapimage.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"
#include "testsoftware.h"
#include "tlsfront.h"

#include <QAbstractButton>
#include <QDir>
#include <QMessageBox>

// Whole devices through the real windows as an operator drives them; what servers, scripts, printer saw.

#define WAIT_FOR(condition) QTRY_VERIFY_WITH_TIMEOUT(condition, 30000)

namespace {
const char* const flashSteps[] = {"cbDownloadImage", "cbEMSSerialnumberassigned", "cbDownloadConfig",
                                  "cbFlashFirmware", "cbRebootNimbrel",           "cbFlashMSP"};

const auto widget = [](QObject* parent, const char* name) { return parent->findChild<QWidget*>(name); };
const auto click = [](QObject* p, const char* name) { QTest::mouseClick(widget(p, name), Qt::LeftButton); };
const auto checked = [](QObject* p, const char* n) { return widget(p, n)->property("checked").toBool(); };
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
    TlsFront nginx; // takes seconds to start: one for all rows, in front of each row's simulator on one port
    int nginxUpstream = 0;

private slots:
    void init() { MessageBox::setRecordingForTesting(true); }
    void devices_data();
    void devices();
};

void TestEndToEnd::devices_data()
{
    // version or --snap name; jobs: order/serial, FAT: a re-test; image on the server; version told to it;
    // stop script; the real boxes; a fault (nginx's port or behind it) and the start of its box
    QTest::addColumn<QStringList>("row");
    const QString release1 = "/cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz";
    const QString img = "Image-Download: ", tls = img + "Verbindung zum Server fehlgeschlagen: Zertifikat ";
    const auto nginx = [&release1](const QString& fault, const QString& warning) {
        return QStringList{"1.2.0-dev", "G1234567/2400001", release1, "1.2.0-dev", "", "", fault, warning};
    };
    const QString boxes =
        "critical Flashvorgang fehlgeschlagen!|warning Testserver noch nicht verfügbar, bitte "
        "warten!|warning Bitte warten und erneut versuchen - Labels sind noch nicht druckbereit!";
    QTest::newRow("release 1, the next device, the first again for its FAT re-test") << QStringList{
        "1.2.0-dev", "G1234567/2400001 G7654321/2400002 FAT:G1234567/2400001", release1, "1.2.0-dev"};
    QTest::newRow("release 0, real message boxes answered") << QStringList{
        "0.9.1-dev", "G1234567/2400001", "/cls/nimbrel-4r0417/0.9.1/nimbrel-4r0417-0.9.1-dev-img.tar.gz",
        "0.9.1-dev", "ENDTESTSERVER",    boxes};
    QTest::newRow("snapshot start") << QStringList{
        "4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz", "G1234567/2400001",
        "/cls/4r0417/snapshots/4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz", "1.2.3-dev"};
    QTest::newRow("nginx with TLS, its CA trusted through SSL_CERT_FILE") << nginx("", "");
    QTest::newRow("nginx: untrusted CA") << nginx("untrusted", tls + "nicht vertrauenswürdig (");
    QTest::newRow("nginx: wrong host name") << nginx("wronghost", tls + "gehört nicht zu localhost (");
    QTest::newRow("nginx: wrong image password")
        << nginx("password", img + "Benutzername oder Passwort des Image-Servers falsch");
    QTest::newRow("nginx: 502, simulator stopped")
        << nginx("stopped", img + "Server antwortet mit 502 (Bad Gateway)");
    const QString redirected =
        "Seriennummer konnte nicht angefordert werden: Server antwortet mit 302 (Found), "
        "eine Weiterleitung wird nicht befolgt";
    QTest::newRow("nginx: redirect") << nginx("assignSerialNumber=redirect:302", redirected);
    QTest::newRow("nginx: cut mid-image")
        << nginx("image=cut:20000", img + "Verbindung unterbrochen nach 20 KB von 72 KB");
}

// Devices from the scan (or FAT re-test) to the closed label dialog. With real boxes the flash script
// fails once, the first ping goes unanswered and "drucke Label" comes early. A failure on the way to the
// servers ends in one German box in the flash dialog, with nothing after it done.
void TestEndToEnd::devices()
{
    QFETCH(QStringList, row);
    const bool viaNginx = QString(QTest::currentDataTag()).startsWith("nginx");
    const QString version = row[0], jobs = row[1], image = row[2], sent = row[3], stop = row.value(4),
                  boxes = row.value(5), fault = row.value(6), warning = row.value(7);
    TestEnvironment env;
    Simulator sim;
    QStringList arguments{"--authorization",  "Bearer e2e", "--image-user", "station",
                          "--image-password", "geheim",     "--image-size", "64K"};
    QVERIFY(sim.start(viaNginx && nginxUpstream ? arguments << "--port" << QString::number(nginxUpstream)
                                                : arguments));
    if (viaNginx && !nginxUpstream) { // the station trusts its CA only through SSL_CERT_FILE, from its start
        nginxUpstream = sim.port();
        if (nginx.start(sim.baseUrl()))
            qputenv("SSL_CERT_FILE", nginx.caFile().toLocal8Bit());
    }
    if (viaNginx && !nginx.port()) {
        QVERIFY2(!nginx.skipReason().isEmpty(), "nginx did not start");
        QSKIP(qPrintable(nginx.skipReason()));
    }
    env.pointAt(viaNginx ? nginx.baseUrl() : sim.baseUrl());
    Settings::setValue("Authorization", "Bearer e2e");
    Settings::setValue("UserNameImage", "station");
    Settings::setValue("PasswordImage", "geheim");
    StationTimings timings;
    timings.microcontrollerWaitMs = timings.additionalsDelayMs = timings.flashPauseMs = 0;
    StationTimings::setForTesting(timings);
    // The additionals arrive while the test button is pressed; the operator asks for the labels.
    TestEnvironment::setScriptDelay("TESTTASTER", 0.3);
    qputenv("NIMBREL_FAKE_CHECK_IMAGE", "1");
    qputenv("NIMBREL_FAKE_PRINT_DIR", env.path("printed").toLocal8Bit());
    ConfigManager client; // the spec list, as at start-up
    client.requestSpecs();
    WAIT_FOR(!Settings::instance()->specs().isEmpty());
    MainWindow window;
    window.show();
    const SnapImage snap = SnapImage::parse(version); // as given with --snap
    if (snap.valid)
        window.setDefaultImage(snap.article, snap.swVersion, snap.date, snap.commitHash);
    else
        click(&window, "btnSelectArticleVersion");
    for (QObject* dialog : window.findChildren<SelectSoftware*>()) {
        widget(dialog, "cbArticle")->setProperty("currentText", "4r0417");
        widget(dialog, "cbSWVersion")->setProperty("currentText", version);
        click(dialog, "btnOk");
    }
    if (fault == "untrusted" || fault == "wronghost")
        env.pointAt(nginx.baseUrl(fault == "untrusted" ? TlsFront::Untrusted : TlsFront::WrongHost));
    if (fault == "password")
        Settings::setValue("PasswordImage", "falsch");
    else if (fault == "stopped")
        sim.stop();
    else if (fault.contains('='))
        QVERIFY(sim.setFault(fault.section('=', 0, 0), fault.section('=', 1)));
    const bool real = !boxes.isEmpty();
    QStringList seen;
    QTimer operatorAtTheBox; // reads each real box and presses its Ok
    connect(&operatorAtTheBox, &QTimer::timeout, [&seen] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            const QString title =
                box->windowTitle() == "Nimbrel Flash & Test Station" ? "" : box->windowTitle() + ": ";
            seen << title + (box->icon() == QMessageBox::Critical ? "critical " : "warning ") + box->text();
            box->button(QMessageBox::Ok)->click();
        }
    });
    MessageBox::setRecordingForTesting(!real);
    operatorAtTheBox.start(20);
    const QString stem = image.section('/', -1).remove("-img.tar.gz"), path = env.path("");
    const QStringList list = jobs.split(' ');
    for (int i = 0; i < list.size(); ++i) {
        const bool fat = list[i].startsWith("FAT:");
        const QString order = list[i].section('/', 0, 0).remove("FAT:"), serial = list[i].section('/', 1);
        const QString mac = QString("02:4e:49:4d:0%1:0").arg(i); // each device its own
        qputenv("NIMBREL_FAKE_MAC_ETH0", (mac + '1').toLatin1());
        qputenv("NIMBREL_FAKE_MAC_ETH1", (mac + '2').toLatin1());
        sim.clearRequests();
        env.clearScriptRuns();
        QVERIFY(QDir(path + "printed").removeRecursively());
        QWidget* test = nullptr;
        if (fat) {
            click(&window, "btnFATTest");
            auto* dialog = window.findChildren<FATTest*>().last(); // article and version as selected
            QTest::keyClicks(widget(dialog, "txtEMSSerialNumber"), order);
            click(dialog, "btnOk");
            WAIT_FOR((test = dialog->findChild<TestSoftware*>()));
        } else {
            TestEnvironment::setScriptExit("FLASH", real ? "1" : "0");
            QTest::keyClicks(widget(&window, "txtBarcode"), order + '\r'); // the hand scanner
            auto* flash = window.orderDialog()->findChild<FlashSoftware*>();
            QVERIFY(flash && flash->isVisible());
            if (!warning.isEmpty()) {
                QStringList shown; // exactly one box, the German words for what failed
                WAIT_FOR(!(shown += MessageBox::takeShownTextsForTesting()).isEmpty());
                QVERIFY2(shown.size() == 1 && shown[0].startsWith(warning), qPrintable(shown.join('|')));
                for (int step = 0; step < 6; ++step) // only the image step may have ended before
                    QCOMPARE(checked(flash, flashSteps[step]),
                             step == 0 && !warning.startsWith("Image-Download"));
                QVERIFY(env.scriptRuns("FLASH").isEmpty());
                QCOMPARE(sim.state()["serials"].toObject(), QJsonObject());
                return;
            }
            if (real) {
                WAIT_FOR(widget(flash, "btnRetry")->isEnabled());
                TestEnvironment::setScriptExit("FLASH", "0");
                click(flash, "btnRetry");
            }
            WAIT_FOR(widget(flash, "btnOpenPrintDialog")->isEnabled());
            click(flash, "btnOpenPrintDialog");
            test = flash->findChild<TestSoftware*>();
        }
        QVERIFY(test && test->isVisible());
        TestEnvironment::setScriptExit("PING", real ? "1" : "0");
        click(test, "btnLEDOK");
        if (real) {
            TestEnvironment::setScriptExit("PING", "0");
            click(test, "btnLEDOK");
            click(test, "btnOpenPrintDialog");
        }
        WAIT_FOR(checked(test, "cbInterfaces") && test->findChildren<AssignMacs*>().isEmpty());
        if (!test->findChild<PrintLabels*>()) // it opened by itself if the MACs were registered last
            click(test, "btnOpenPrintDialog");
        auto* labels = test->findChild<PrintLabels*>();
        QVERIFY(labels && labels->isVisible() && !test->isVisible());
        for (const char* button : {"btnPrintLabel1", "btnPrintLabel2", "btnPrintLabel3"})
            click(labels, button);
        WAIT_FOR(widget(labels, "btnClose")->isEnabled());
        click(labels, "btnClose");

        // The servers: this device's requests (MACs and additionals side by side), its serial and MACs.
        QStringList requests;
        for (const QJsonObject& request : sim.requests())
            if (request["path"].toString().startsWith("/api/"))
                requests << request["method"].toString() + ' ' + request["path"].toString() + '?' +
                                request["rawQuery"].toString();
        requests.sort();
        const QString device = "article=4r0417&serialNumber=" + serial;
        QStringList expected{"GET /api/v1/additionals?" + device, "PUT /api/v1/assignMacAddresses?" + device};
        for (int attempt = 0; attempt <= int(real); ++attempt)
            expected << "GET /api/v1/configs?" + device
                     << "PUT /api/v1/assignSerialNumber?article=4r0417&version=" + sent +
                            "&emsSerialNumber=" + order;
        expected.sort();
        QCOMPARE(requests, expected);
        QCOMPARE(sim.requests(image).isEmpty(), i > 0);
        const QJsonObject state = sim.state();
        QCOMPARE(state["serials"][order].toVariant().toString(), serial);
        QCOMPARE(state["macs"][serial].toObject(), (QJsonObject{{"eth0", mac + '1'}, {"eth1", mac + '2'}}));

        // The scripts as they ended; the production-test service stops after the tests, the device still on.
        QStringList scripts, macs;
        for (const QJsonObject& run : env.scriptRuns()) {
            const QString role = run["role"].toString();
            (role == "MAC" ? macs : scripts) << role + ' ' + run["args"].toVariant().toStringList().join('|');
        }
        QCOMPARE(macs, (QStringList{"MAC eth0", "MAC eth1"}));
        const int disabled = scripts.indexOf("DISABLEPRODUCTION ");
        QCOMPARE(disabled > scripts.indexOf("INTERFACES " + serial) && disabled < scripts.size() - 2,
                 stop.isEmpty());
        QCOMPARE(scripts.removeAll("DISABLEPRODUCTION "), int(stop.isEmpty()));
        const QString on = "RELAY 5|ON\nRELAY 8|ON\n", off = "RELAY 5|OFF\nRELAY 8|OFF\n",
                      ping = "PING -c|1|-w|10|192.168.2.251\n",
                      stopped = stop.isEmpty() ? "" : stop + ' ' + order + '\n';
        const QString flash = "FLASH -i|" + path + "images/" + stem + ".img|-a|" + path +
                              "configs/extract/|-s|" + serial + "|-l|" + path + "log/|-t\n" + off + on;
        const QString tail =
            QString("TESTTASTER %1\nRESETTASTER %1\nINTERFACES %1\n%2PRINT %3device.pdf\nPRINT "
                    "%3manual.pdf\nPRINT %3cabinet.pdf\nPRINT %3package.pdf\n")
                .arg(serial, stopped, path + "configs/extract/labels/");
        const QString all = on + flash.repeated(fat ? 0 : 1 + real) + ping.repeated(1 + real) + tail + off;
        QCOMPARE(scripts, all.split('\n', Qt::SkipEmptyParts));

        // What was printed is this device's; nothing of it stays on the station, the image does.
        QFile printed(path + "printed/001-device.pdf");
        QVERIFY(printed.open(QIODevice::ReadOnly) &&
                printed.readAll().contains("(Seriennummer: " + serial.toLatin1() + ')'));
        QCOMPARE(QDir(path + "configs").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(QFileInfo(path + "images/" + stem + ".img").isFile() &&
                QFileInfo(path + "images/" + image.section('/', -1)).isFile());
    }
    QCOMPARE(real ? seen : MessageBox::takeShownTextsForTesting(), boxes.split('|', Qt::SkipEmptyParts));
}

NIMBREL_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
