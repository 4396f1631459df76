#include "fattest.h"
#include "flashsoftware.h"
#include "mainwindow.h"
#include "scanbarcode.h"
#include "selectsoftware.h"
#include "snapimage.h"
#include "testwindow.h"
#include "tlsfront.h"

#include <QMessageBox>

// Whole devices through the real windows as an operator drives them; what servers, scripts, printer saw.

#define WAIT_FOR(condition) QTRY_VERIFY_WITH_TIMEOUT(condition, 30000)

class TestEndToEnd : public QObject
{
    Q_OBJECT
    TlsFront nginx; // takes seconds to start: one for all rows, in front of each row's simulator on one port
    int nginxUpstream = 0;

private slots:
    void init() { MessageBox::setRecordingForTesting(true); }

    void devices_data()
    {
        // version or --snap name; jobs: order/serial, FAT: a re-test; image on the server; stop script;
        // the real boxes; a fault (nginx's port or behind it) and the start of its box
        QTest::addColumn<QStringList>("row");
        const QString one = "G1234567/2400001",
                      release1 = "/cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz";
        const QString img = "Image-Download: ",
                      tls = img + "Verbindung zum Server fehlgeschlagen: Zertifikat ";
        QTest::newRow("release 1, the next device, the first again for its FAT re-test")
            << QStringList{"1.2.0-dev", one + " G7654321/2400002 FAT:" + one, release1};
        QTest::newRow("release 0, real message boxes answered")
            << QStringList{"0.9.1-dev", one, "/cls/nimbrel-4r0417/0.9.1/nimbrel-4r0417-0.9.1-dev-img.tar.gz",
                           "ENDTESTSERVER",
                           "critical Flashvorgang fehlgeschlagen!|warning Testserver noch nicht verfügbar, "
                           "bitte warten!|warning "
                           "Bitte warten und erneut versuchen - Labels sind noch nicht druckbereit!"};
        QTest::newRow("nginx with TLS, its CA trusted through SSL_CERT_FILE, a snapshot")
            << QStringList{"4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz", one,
                           "/cls/4r0417/snapshots/4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz"};
        const auto nginx = [&](const QString& fault, const QString& warning) {
            QTest::newRow(qPrintable("nginx: " + fault))
                << QStringList{"1.2.0-dev", one, release1, "", "", fault, warning};
        };
        nginx("untrusted", tls + "nicht vertrauenswürdig (");
        nginx("wronghost", tls + "gehört nicht zu localhost (");
        nginx("password", img + "Benutzername oder Passwort des Image-Servers falsch");
        nginx("stopped", img + "Server antwortet mit 502 (Bad Gateway)");
        nginx("assignSerialNumber=redirect:302",
              "Seriennummer konnte nicht angefordert werden: Server antwortet "
              "mit 302 (Found), eine Weiterleitung wird nicht befolgt");
        nginx("image=cut:20000", img + "Verbindung unterbrochen nach 20 KB von 72 KB");
    }

    // Devices from the scan (or FAT re-test) to the closed label dialog. With real boxes the flash script
    // fails once, the first ping goes unanswered and "drucke Label" comes early. A failure on the way to the
    // servers ends in one German box in the flash dialog, with nothing after it done.
    void devices()
    {
        QFETCH(QStringList, row);
        const bool viaNginx = QString(QTest::currentDataTag()).startsWith("nginx");
        const QString version = row[0], image = row[2], stop = row.value(3), boxes = row.value(4),
                      fault = row.value(5), warning = row.value(6);
        TestEnvironment env;
        Simulator sim; // behind nginx on the port of the first row that started it
        QVERIFY(sim.start({"--authorization", "Bearer e2e", "--image-user", "station", "--image-password",
                           "geheim", "--image-size", "64K", "--port",
                           QString::number(viaNginx ? nginxUpstream : 0)}));
        // The station trusts nginx's CA only through SSL_CERT_FILE, from its start.
        if (viaNginx && !nginxUpstream && nginx.start(sim.baseUrl()))
            qputenv("SSL_CERT_FILE", nginx.caFile().toLocal8Bit());
        nginxUpstream = viaNginx ? sim.port() : nginxUpstream;
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
            click(window, "btnSelectArticleVersion");
        for (QObject* dialog : window.findChildren<SelectSoftware*>()) {
            child<QWidget>(*dialog, "cbArticle")->setProperty("currentText", "4r0417");
            child<QWidget>(*dialog, "cbSWVersion")->setProperty("currentText", version);
            click(*dialog, "btnOk");
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
                seen << (box->windowTitle() == "Nimbrel Flash & Test Station" ? "" : box->windowTitle()) +
                            (box->icon() == QMessageBox::Critical ? "critical " : "warning ") + box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        MessageBox::setRecordingForTesting(!real);
        operatorAtTheBox.start(20);
        const QString stem = image.section('/', -1).remove("-img.tar.gz"), path = env.path("");
        const QStringList jobs = row[1].split(' ');
        for (int i = 0; i < jobs.size(); ++i) {
            const bool fat = jobs[i].startsWith("FAT:");
            const QString order = jobs[i].section('/', 0, 0).remove("FAT:"), serial = jobs[i].section('/', 1);
            const QString mac = QString("02:4e:49:4d:0%1:0").arg(i); // each device its own
            qputenv("NIMBREL_FAKE_MAC_ETH0", (mac + '1').toLatin1());
            qputenv("NIMBREL_FAKE_MAC_ETH1", (mac + '2').toLatin1());
            sim.clearRequests();
            env.clearScriptRuns();
            QVERIFY(QDir(path + "printed").removeRecursively());
            QWidget* test = nullptr;
            if (fat) {
                click(window, "btnFATTest");
                auto* dialog = window.findChildren<FATTest*>().last(); // article and version as selected
                QTest::keyClicks(child<QWidget>(*dialog, "txtEMSSerialNumber"), order);
                click(*dialog, "btnOk");
                WAIT_FOR((test = dialog->findChild<TestSoftware*>()));
            } else {
                TestEnvironment::setScriptExit("FLASH", real ? "1" : "0");
                QTest::keyClicks(child<QWidget>(window, "txtBarcode"), order + '\r'); // the hand scanner
                auto* flash = window.orderDialog()->findChild<FlashSoftware*>();
                QVERIFY(flash && flash->isVisible());
                if (!warning.isEmpty()) {
                    QStringList shown; // exactly one box, the German words for what failed
                    WAIT_FOR(!(shown += MessageBox::takeShownTextsForTesting()).isEmpty());
                    QVERIFY2(shown.size() == 1 && shown[0].startsWith(warning), qPrintable(shown.join('|')));
                    // Nothing after it done: only the image may have come before the serial number.
                    QCOMPARE(child<QCheckBox>(*flash, "cbDownloadImage")->isChecked(),
                             !warning.startsWith("Image"));
                    QVERIFY(!child<QCheckBox>(*flash, "cbEMSSerialnumberassigned")->isChecked() &&
                            env.scriptRuns("FLASH").isEmpty());
                    QCOMPARE(sim.state()["serials"].toObject(), QJsonObject());
                    return;
                }
                if (real) {
                    WAIT_FOR(button(*flash, "btnRetry")->isEnabled());
                    TestEnvironment::setScriptExit("FLASH", "0");
                    click(*flash, "btnRetry");
                }
                WAIT_FOR(button(*flash, "btnOpenPrintDialog")->isEnabled());
                click(*flash, "btnOpenPrintDialog");
                test = flash->findChild<TestSoftware*>();
            }
            QVERIFY(test && test->isVisible());
            TestEnvironment::setScriptExit("PING", real ? "1" : "0");
            click(*test, "btnLEDOK");
            if (real) {
                TestEnvironment::setScriptExit("PING", "0");
                click(*test, "btnLEDOK");
                click(*test, "btnOpenPrintDialog");
            }
            WAIT_FOR(child<QCheckBox>(*test, "cbInterfaces")->isChecked() &&
                     test->findChildren<AssignMacs*>().isEmpty());
            if (!test->findChild<PrintLabels*>()) // it opened by itself if the MACs were registered last
                click(*test, "btnOpenPrintDialog");
            auto* labels = test->findChild<PrintLabels*>();
            QVERIFY(labels && labels->isVisible() && !test->isVisible());
            for (const char* name : {"btnPrintLabel1", "btnPrintLabel2", "btnPrintLabel3"})
                click(*labels, name);
            WAIT_FOR(button(*labels, "btnClose")->isEnabled());
            click(*labels, "btnClose");

            // The servers: the image once, this device's serial number and MACs.
            QCOMPARE(sim.requests(image).isEmpty(), i > 0);
            const QJsonObject state = sim.state();
            QCOMPARE(state["serials"][order].toVariant().toString(), serial);
            QCOMPARE(state["macs"][serial].toObject(),
                     (QJsonObject{{"eth0", mac + '1'}, {"eth1", mac + '2'}}));

            // The scripts as they ended, the MAC reads beside the others; the production-test service stops
            // after the tests, the device still on.
            QStringList scripts;
            for (const QJsonObject& run : env.scriptRuns())
                scripts << run["role"].toString() + ' ' + argsOf(run).join('|');
            QCOMPARE(scripts.removeAll("MAC eth0") + scripts.removeAll("MAC eth1"), 2);
            const QString stopRun = stop.isEmpty() ? "DISABLEPRODUCTION " : stop + ' ' + order;
            const int stopped = scripts.indexOf(stopRun);
            QVERIFY(stopped > scripts.indexOf("INTERFACES " + serial) && stopped < scripts.size() - 2);
            QCOMPARE(scripts.removeAll(stopRun), 1);
            const QString on = "RELAY 5|ON\nRELAY 8|ON\n", off = "RELAY 5|OFF\nRELAY 8|OFF\n";
            const QString flash =
                QString("FLASH -i|%1images/%2.img|-a|%1configs/extract/|-s|%3|-l|%1log/|-t\n")
                    .arg(path, stem, serial);
            QString tail = QString("TESTTASTER %1\nRESETTASTER %1\nINTERFACES %1\n").arg(serial);
            for (const char* label : {"device", "manual", "cabinet", "package"})
                tail += "PRINT " + path + "configs/extract/labels/" + label + ".pdf\n";
            const QString ping = "PING -c|1|-w|10|192.168.2.251\n";
            QCOMPARE(scripts, (on + (flash + off + on).repeated(fat ? 0 : 1 + real) +
                               ping.repeated(1 + real) + tail + off)
                                  .split('\n', Qt::SkipEmptyParts));

            // What was printed is this device's; nothing of it stays on the station, the image does.
            QVERIFY(readFile(path + "printed/001-device.pdf")
                        .contains("(Seriennummer: " + serial.toLatin1() + ')'));
            QVERIFY(QDir(path + "configs").isEmpty() &&
                    QFileInfo(path + "images/" + stem + ".img").isFile() &&
                    QFileInfo(path + "images/" + image.section('/', -1)).isFile());
        }
        QCOMPARE(real ? seen : MessageBox::takeShownTextsForTesting(), boxes.split('|', Qt::SkipEmptyParts));
    }
};

NIMBREL_TEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
