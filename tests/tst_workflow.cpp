#include "datarows.h"
#include "fattest.h"
#include "flashsoftware.h"
#include "jobchain.h"
#include "mainwindow.h"
#include "scanbarcode.h"
#include "selectsoftware.h"
#include "testmain.h"
#include "testsoftware.h"
#include "teststation.h"

#include <QtWidgets>

namespace {
using namespace teststation;

struct Station
{
    TestEnvironment env;
    Simulator sim;
    std::unique_ptr<MainWindow> window;
    QStringList shown;

    bool start(const QStringList& simulatorArguments = {})
    {
        MessageBox::takeShownTextsForTesting(); // an earlier test's
        Settings::instance()->setSpecs({{"4r0417", "1.2.0-dev", "nimbrel-4r0417"},
                                        {"4r0417", "0.9.1-dev", " first "},
                                        {"4R0417", "0.9.1-dev", " other "},
                                        {"4r0417 ", "0.9.1-dev", " last "},
                                        {"4r0418", "2.0.0-qa", "nimbrel-4r0418"}});
        window = std::make_unique<MainWindow>();
        window->show();
        return goOnline(env, sim, simulatorArguments);
    }
    // The boxes of this test so far: polls must not lose what an earlier poll took.
    QString boxes() { return (shown += MessageBox::takeShownTextsForTesting()).join('|'); }
    FlashSession& job() const { return *window->flashSession(); }
    SelectSoftware& openSelection()
    {
        click(*window, "btnSelectArticleVersion");
        return *window->findChildren<SelectSoftware*>().last();
    }
    void select(const QString& article, const QString& version)
    {
        SelectSoftware& dialog = openSelection();
        child<QComboBox>(dialog, "cbArticle")->setCurrentText(article);
        child<QComboBox>(dialog, "cbSWVersion")->setCurrentText(version);
        click(dialog, "btnOk");
    }
    // The job as the flash dialogs see it: its order number and how many of them live.
    QString record() const
    {
        const auto all = window->findChildren<FlashSoftware*>();
        auto live = std::count_if(all.begin(), all.end(), [](auto* d) { return !JobChain::isRetired(d); });
        return job().orderNumber() + ' ' + QString::number(live);
    }
    QStringList serialRequests() const
    {
        QStringList orders;
        for (const QJsonObject& request : sim.requests("/api/v1/assignSerialNumber"))
            orders << request.value("query").toArray().at(2).toArray().at(1).toString();
        return orders;
    }
};
} // namespace

class TestWorkflow : public QObject
{
    Q_OBJECT
private slots:
    void startJob_data()
    {
        addColumns({"code", "selection", "box", "script", "meanwhile", "order", "relays"});
        const QString selectFirst = "Bitte zuerst Artikel und Software Version auswählen!", on = "5|ON;8|ON";
        const QString missing = "Kein Flash Skript gefunen! Konfigurationsdatei überprüfen!";
        const QString twice = on + ';' + on, thrice = twice + ';' + on, flash = "./4R0417_stage1.sh";
        addRows(
            {{"lower-case g", "g1234567", "yes", "", "", "", "", on},
             {"six digits", "G123456", "yes", "", "", "", "", on},
             {"eight digits", "G12345678", "yes", "", "", "", "", on},
             {"blank in front", " G1234567", "yes", "", "", "", "", on},
             {"nothing selected", "G1234567", "", selectFirst, "", "", "", on},
             {"a job", "G1234567", "yes", "", "", "", "G1234567", twice},
             // By hand: the scanned job ends, "./" is dropped; "Weiter" again or a scan as the relays switch.
             {"by hand", "G7654321", "yes", "", flash, "weiter", "G1234567", thrice},
             {"by hand, no script", "G7654321", "yes", missing, "./x.sh", "weiter", "G1234567", thrice},
             {"by hand, nothing selected", "G7654321", "dropped", selectFirst, flash, "", "G7654321", twice},
             {"by hand, a scan", "G7654321", "yes", "", flash, "scan", "G2222222", twice + ";5|ON;" + on}});
    }
    // Only "G" and seven digits with a selection start a job: device on, order recorded, flash dialog.
    void startJob()
    {
        const QString code = cell("code"), script = cell("script"), order = cell("order");
        LogCapture log;
        Station station;
        QVERIFY(station.start({"--image-size", "64K"}));
        MainWindow& window = *station.window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Nimbrel Produktion Ferlund"));
        Settings::setValue("FlashScriptPath", station.env.stationDir() + "/flash"); // the station adds "/"
        if (!cell("selection").isEmpty())
            station.select("4r0417", "1.2.0-dev");
        click(window, "btnPowerOn"); // a key after a click still reaches the scanner field
        const int forwarded = code.at(0).isLetter() ? 1 : 0;
        QTest::keyClicks(button(window, "btnPowerOn"), code.left(forwarded));
        QLineEdit* barcode = child<QLineEdit>(window, "txtBarcode");
        QTest::keyClicks(barcode, code.mid(forwarded) + '\r');
        QCOMPARE(barcode->text(), QString());
        QPointer<FlashSoftware> previous = window.findChild<FlashSoftware*>();
        if (!script.isEmpty()) {
            Settings::setValue("FlashScriptName", script);
            if (cell("selection") == "dropped")
                station.job().setArticle(QString());
            click(window, "pushButton");
            QVERIFY(JobChain::isRetired(previous)); // the previous job ends at once, before any check
        }
        QCOMPARE(station.boxes(), cell("box"));
        if (script == "./x.sh") // "./" dropped from the name, "/" added to the folder
            QVERIFY(log.contains("Flash script not exists " + station.env.stationDir() + "/flash/x.sh"));
        if (ScanBarcode* dialog = script.isEmpty() ? nullptr : window.orderDialog()) {
            QLineEdit* field = child<QLineEdit>(*dialog, "txtAuftragsnummer");
            QTest::keyClicks(field, "G12345");
            // Six characters enable "Weiter", but only a whole order number starts the job.
            QVERIFY(button(*dialog, "pushButton")->isEnabled());
            click(*dialog, "pushButton");
            QVERIFY(dialog->isVisible());
            QTest::keyClick(field, Qt::Key_Backspace);
            QVERIFY(!button(*dialog, "pushButton")->isEnabled());
            // Enter presses "Weiter"; while its relays switch, "Weiter" again or a scan.
            QTimer::singleShot(50, dialog, [&] {
                cell("meanwhile") == "scan"
                    ? QTest::keyClicks(barcode, order + '\r')
                    : void(QMetaObject::invokeMethod(dialog, "on_pushButton_clicked"));
            });
            QTest::keyClicks(field, "567\r");
            QVERIFY(!dialog->isVisible());
        }
        const bool live = !order.isEmpty() && cell("selection") != "dropped";
        QTRY_COMPARE_WITH_TIMEOUT(station.serialRequests(), live ? QStringList{order} : QStringList(), 15000);
        QCOMPARE(station.record(), order + (live ? " 1" : " 0"));
        QCOMPARE(roleArgs(station.env, "RELAY").join(';'), cell("relays"));
        if (cell("meanwhile") != "weiter")
            QCOMPARE(child<QLabel>(window, "lblEMSSerialNumber")->text(), order);
    }

    void selection_data()
    {
        addColumns({"first", "second", "boxes", "articles"});
        const QString failed =
            "Artikelliste konnte nicht geladen werden: Server antwortet mit 502 (Bad Gateway)";
        const QString none = "Der Server bietet keine Artikel an.";
        addRows({{"offered", "", "", "", "4r0417|4R0417"},
                 {"failed, then the server answers", "status:502:", "", failed, "4r0417|4r0418"},
                 {"failed twice", "status:502:", "status:502:", failed + '|' + failed, "|"},
                 {"the server offers nothing", "status:200:[]", "status:200:[]", none + '|' + none, "|"}});
    }
    void selection()
    {
        Station station;
        QVERIFY(station.start());
        MainWindow& window = *station.window;
        window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
        QCOMPARE(child<QLabel>(window, "txtImage")->text(), QStringLiteral("4r0417"));
        if (!cell("first").isEmpty()) {
            Settings::instance()->setSpecs({});
            ConfigManager startup;
            QSignalSpy answered(&startup, &ConfigManager::specsReceived);
            QVERIFY(station.sim.setFault("specs", cell("first"), 1));
            startup.requestSpecs();
            QVERIFY(answered.wait(10000));
            QVERIFY(cell("second").isEmpty() || station.sim.setFault("specs", cell("second"), 1));
        }
        SelectSoftware& dialog = station.openSelection();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Artikel und Softwareversion"));
        auto* list = child<QComboBox>(dialog, "cbArticle");
        QTRY_COMPARE(station.boxes(), cell("boxes"));
        QTRY_COMPARE(list->itemText(0) + '|' + list->itemText(1), cell("articles"));
        QTRY_COMPARE(station.sim.requests("/api/v1/specs").size(), cell("first").isEmpty() ? 0 : 2);
        if (!cell("first").isEmpty())
            return;                 // the list was empty: asked again
        QCOMPARE(list->count(), 4); // "4R0417", "4r0417 " are others
        auto* versions = child<QComboBox>(dialog, "cbSWVersion");
        QCOMPARE(versions->count(), 2); // but share the versions of every spelling
        versions->setCurrentText("0.9.1-dev");
        click(dialog, "btnOk");
        // Every entry that matches when trimmed is applied: the last one's image, trimmed.
        QCOMPARE(station.job().image() + ' ' + station.job().swVersion(), QStringLiteral("last 0.9.1-dev"));
        QCOMPARE(child<QLabel>(window, "txtImage")->text(), QStringLiteral("last"));
        QCOMPARE(station.job().snapImageName(), QStringLiteral("4r0417-1.2.3-snap-2024-05-17-a1b2c3"));
        for (int i = 0; i < 2; ++i)
            child<QAction>(window, "actionUeber")->trigger();
        QCOMPARE(window.findChildren<QLabel*>("txtVersion").size(), 2); // one about window each
        QCOMPARE(child<QLabel>(window, "txtVersion")->text(), QStringLiteral("0.1.9"));
    }

    void fatRetest_data()
    {
        addColumns({"barcode", "fault", "box", "scanned", "asked"});
        const QString refused = R"(status:422:{"message":"Auftrag unbekannt"})", order = "G7654321";
        addRows({{"blanks around", "  G7654321 ", "", "", "", order},
                 {"a leading character", "xG7654321", "", "Bitte Barcode oder SW-Version auswählen!", "", ""},
                 {"server refuses", order, refused, "Auftrag unbekannt", "", order},
                 {"while a scanned job downloads its image", order, "", "", "G1111111", order}});
    }
    // A flashed device goes straight to the tests, with its own serial number and configuration.
    void fatRetest()
    {
        const QString box = cell("box"), scanned = cell("scanned");
        Station station;
        QVERIFY(station.start({"--image-size", "2M"}));
        MainWindow& window = *station.window;
        if (!scanned.isEmpty()) {
            QVERIFY(station.sim.setFault("image", "slow:1000000"));
            station.select("4r0418", "2.0.0-qa");
            QTest::keyClicks(child<QLineEdit>(window, "txtBarcode"), scanned + '\r');
            QTRY_COMPARE(station.sim.requests().size(), 1); // the image is on its way
            station.env.clearScriptRuns();
        }
        station.job().setArticle("4R0418"); // preselected whatever the letter case
        station.job().setSwVersion("2.0.0-QA");
        QVERIFY(cell("fault").isEmpty() || station.sim.setFault("assignSerialNumber", cell("fault")));
        click(window, "btnFATTest");
        QCOMPARE(roleArgs(station.env, "RELAY").join(';'), QStringLiteral("5|ON;8|ON")); // switched on first
        FATTest* dialog = window.findChildren<FATTest*>().last();
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Starte FAT Test erneut"));
        QCOMPARE(child<QComboBox>(*dialog, "cbArticle")->currentText(), QStringLiteral("4r0418"));
        child<QLineEdit>(*dialog, "txtEMSSerialNumber")->setText(cell("barcode"));
        click(*dialog, "btnOk");
        QTRY_VERIFY(!box.isEmpty() || dialog->findChild<TestSoftware*>());
        QTRY_COMPARE(station.boxes(), box);
        QCOMPARE(dialog->isVisible(), !box.isEmpty()); // another try is possible
        if (!scanned.isEmpty())
            QTest::qWait(3000); // the scanned job's image would have arrived by now
        QCOMPARE(station.serialRequests().join('|'), cell("asked"));
        if (!box.isEmpty())
            return;
        QCOMPARE(station.job().article() + ' ' + station.job().serialNumber(), QString("4r0418 2400001"));
        QVERIFY(QFileInfo(station.env.path("configs/extract/labels/device.pdf")).isFile());
        QCOMPARE(station.env.scriptRuns("FLASH").size(), 0);
        QCOMPARE(station.record(), QStringLiteral("G7654321 0"));
    }
};

NIMBREL_TEST_MAIN(TestWorkflow)
#include "tst_workflow.moc"
