#include "about.h"
#include "datarows.h"
#include "fattest.h"
#include "flashsession.h"
#include "flashsoftware.h"
#include "jobchain.h"
#include "mainwindow.h"
#include "online.h"
#include "scanbarcode.h"
#include "selectsoftware.h"
#include "settings.h"
#include "testmain.h"
#include "testsoftware.h"

#include <QAction>
#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

namespace {
template <typename T = QWidget> T* find(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}
void click(QObject* parent, const char* name)
{
    QTest::mouseClick(find<QPushButton>(parent, name), Qt::LeftButton);
}
void type(QObject* parent, const char* field, const QString& text)
{
    QTest::keyClicks(find<QLineEdit>(parent, field), text);
    QTest::keyClick(find<QLineEdit>(parent, field), Qt::Key_Return);
}
QString label(QObject* parent, const char* name)
{
    return find<QLabel>(parent, name)->text();
}
QStringList argsOf(const QList<QJsonObject>& runs)
{
    QStringList lines;
    for (const QJsonObject& run : runs)
        lines << run.value("args").toVariant().toStringList().join(' ');
    return lines;
}

// The main window of a station whose servers are the simulator.
struct Station
{
    TestEnvironment env;
    Simulator sim;
    std::unique_ptr<MainWindow> window;

    bool start(const QStringList& simulatorArguments = {})
    {
        Settings::instance()->setSpecs({{"4r0417", "1.2.0-dev", "nimbrel-4r0417"},
                                        {"4r0417", "0.9.1-dev", " first "},
                                        {"4R0417", "0.9.1-dev", " other "},
                                        {"4r0417 ", "0.9.1-dev", " last "},
                                        {"4r0418", "2.0.0-qa", "nimbrel-4r0418"}});
        window = std::make_unique<MainWindow>();
        window->show();
        return goOnline(env, sim, simulatorArguments);
    }
    FlashSession& job() const { return *window->flashSession(); }
    void select(const QString& article, const QString& version)
    {
        click(window.get(), "btnSelectArticleVersion");
        auto* dialog = window->findChildren<SelectSoftware*>().last();
        find<QComboBox>(dialog, "cbArticle")->setCurrentText(article);
        find<QComboBox>(dialog, "cbSWVersion")->setCurrentText(version);
        click(dialog, "btnOk");
    }
    QList<FlashSoftware*> liveFlashDialogs() const
    {
        QList<FlashSoftware*> live;
        for (FlashSoftware* dialog : window->findChildren<FlashSoftware*>())
            if (!JobChain::isRetired(dialog))
                live << dialog;
        return live;
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
    QStringList shown;
    // The boxes of this test so far: polls must not lose what an earlier poll took.
    QStringList boxes() { return shown += MessageBox::takeShownTextsForTesting(); }

private slots:
    void init()
    {
        MessageBox::takeShownTextsForTesting();
        shown.clear();
    }
    void scannerInput_data();
    void scannerInput();
    void manualPath_data();
    void manualPath();
    void selection();
    void emptySelectionSaysWhy_data();
    void emptySelectionSaysWhy();
    void fatRetest_data();
    void fatRetest();
    void scanDuringTheRelayWaitTakesOver();
    void fatRetestWhileAJobDownloads();
};

void TestWorkflow::scannerInput_data()
{
    addColumns({"code", "selection", "box"});
    addRows({{"lower-case g", "g1234567", "yes", ""},
             {"six digits", "G123456", "yes", ""},
             {"eight digits", "G12345678", "yes", ""},
             {"blank in front", " G1234567", "yes", ""},
             {"nothing selected", "G1234567", "", "Bitte zuerst Artikel und Software Version auswählen!"},
             {"a job", "G1234567", "yes", ""}});
}

// Only "G" and seven digits with a selection start a job: device on, order recorded, flash dialog.
void TestWorkflow::scannerInput()
{
    QFETCH(QString, code);
    QFETCH(QString, selection);
    QFETCH(QString, box);
    Station station;
    QVERIFY(station.start());
    QCOMPARE(station.window->windowTitle(), QStringLiteral("Nimbrel Produktion Ferlund"));
    if (!selection.isEmpty())
        station.select("4r0417", "1.2.0-dev");
    click(station.window.get(), "btnPowerOn"); // the first key after a click still reaches the scanner field
    const int forwarded = code.at(0).isLetter() ? 1 : 0;
    QTest::keyClicks(find<QPushButton>(station.window.get(), "btnPowerOn"), code.left(forwarded));
    type(station.window.get(), "txtBarcode", code.mid(forwarded));
    QCOMPARE(boxes(), box.isEmpty() ? QStringList() : QStringList{box});
    QCOMPARE(find<QLineEdit>(station.window.get(), "txtBarcode")->text(), QString());
    const bool started = QTest::currentDataTag() == QLatin1String("a job");
    QCOMPARE(label(station.window.get(), "lblEMSSerialNumber"), started ? code : QString());
    QCOMPARE(station.job().orderNumber(), started ? code : QString());
    QCOMPARE(station.liveFlashDialogs().size(), started ? 1 : 0);
    const QStringList switchedOn{"5 ON", "8 ON"};
    QCOMPARE(argsOf(station.env.scriptRuns("RELAY")).mid(2), started ? switchedOn : QStringList());
}

void TestWorkflow::manualPath_data()
{
    addColumns({"path", "name", "selection", "boxes"});
    const QString missing = "Kein Flash Skript gefunen! Konfigurationsdatei überprüfen!";
    addRows({{"script found: './' dropped, '/' added", "flash", "./4R0417_stage1.sh", "yes", ""},
             {"script missing: warned, job goes on", "flash", "./gibt_es_nicht.sh", "yes", missing},
             {"nothing selected", "flash/", "4R0417_stage1.sh", "", "Bitte zuerst Artikel und Software Version auswählen!"}});
}

void TestWorkflow::manualPath()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(QString, selection);
    QFETCH(QString, boxes);
    Station station;
    QVERIFY(station.start());
    Settings::setValue("FlashScriptPath", station.env.stationDir() + '/' + path);
    Settings::setValue("FlashScriptName", name);
    station.select("4r0417", "1.2.0-dev");
    type(station.window.get(), "txtBarcode", "G7654321");
    QPointer<FlashSoftware> previous = station.liveFlashDialogs().value(0);
    if (selection.isEmpty())
        station.job().setArticle(QString());
    click(station.window.get(), "pushButton");
    QVERIFY(JobChain::isRetired(previous)); // the previous job ends at once, before any check
    QCOMPARE(this->boxes().join('|'), boxes);
    ScanBarcode* dialog = station.window->orderDialog();
    QCOMPARE(dialog != nullptr, !selection.isEmpty());
    if (!dialog)
        return;
    QLineEdit* field = find<QLineEdit>(dialog, "txtAuftragsnummer");
    QTest::keyClicks(field, "G12345");
    QVERIFY(find<QPushButton>(dialog, "pushButton")->isEnabled()); // six characters enable "Weiter" ...
    click(dialog, "pushButton");
    QVERIFY(dialog->isVisible()); // ... but only a whole order number starts the job
    QTest::keyClick(field, Qt::Key_Backspace);
    QVERIFY(!find<QPushButton>(dialog, "pushButton")->isEnabled());
    // Enter presses "Weiter"; a second "Weiter" while the relays switch starts nothing more.
    QTimer::singleShot(50, dialog, [dialog] { QMetaObject::invokeMethod(dialog, "on_pushButton_clicked"); });
    type(dialog, "txtAuftragsnummer", "567");
    QVERIFY(!dialog->isVisible());
    QCOMPARE(argsOf(station.env.scriptRuns("RELAY")).mid(2), (QStringList{"5 ON", "8 ON"}));
    QCOMPARE(station.job().orderNumber(), QStringLiteral("G1234567"));
    QCOMPARE(station.liveFlashDialogs().size(), 1);
}

void TestWorkflow::selection()
{
    Station station;
    QVERIFY(station.start());
    station.window->setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    QCOMPARE(label(station.window.get(), "txtImage"), QStringLiteral("4r0417"));
    click(station.window.get(), "btnSelectArticleVersion");
    auto* dialog = station.window->findChildren<SelectSoftware*>().last();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Artikel und Softwareversion"));
    auto* articles = find<QComboBox>(dialog, "cbArticle");
    auto* versions = find<QComboBox>(dialog, "cbSWVersion");
    QCOMPARE(articles->count(), 4); // "4r0417" once; "4R0417" and "4r0417 " are other articles
    QCOMPARE(versions->count(), 2); // but share the versions of every spelling
    versions->setCurrentText("0.9.1-dev");
    click(dialog, "btnOk");
    // Every entry that matches when trimmed is applied: the last one's image, trimmed.
    QCOMPARE(station.job().image(), QStringLiteral("last"));
    QCOMPARE(label(station.window.get(), "txtImage"), QStringLiteral("last"));
    QCOMPARE(station.job().swVersion(), QStringLiteral("0.9.1-dev"));
    QCOMPARE(station.job().snapImageName(), QStringLiteral("4r0417-1.2.3-snap-2024-05-17-a1b2c3"));
    for (int i = 0; i < 2; ++i)
        find<QAction>(station.window.get(), "actionUeber")->trigger();
    const QList<About*> abouts = station.window->findChildren<About*>();
    QCOMPARE(abouts.size(), 2);
    QCOMPARE(label(abouts.last(), "txtVersion"), QStringLiteral("0.1.9"));
}

void TestWorkflow::emptySelectionSaysWhy_data()
{
    addColumns({"first", "second", "boxes", "articles"});
    const QString failed = "Artikelliste konnte nicht geladen werden: Server antwortet mit 502 (Bad Gateway)";
    addRows({{"failed, then the server answers", "status:502:", "", failed, "4r0417|4r0418"},
             {"failed twice", "status:502:", "status:502:", failed + '|' + failed, ""},
             {"the server offers nothing", "status:200:[]", "status:200:[]",
              "Der Server bietet keine Artikel an.|Der Server bietet keine Artikel an.", ""}});
}

void TestWorkflow::emptySelectionSaysWhy()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, boxes);
    QFETCH(QString, articles);
    Station station;
    QVERIFY(station.start());
    Settings::instance()->setSpecs({});
    ConfigManager startup;
    QSignalSpy answered(&startup, &ConfigManager::specsReceived);
    QVERIFY(station.sim.setFault("specs", first, 1));
    startup.requestSpecs();
    QVERIFY(answered.wait(10000));
    if (!second.isEmpty())
        QVERIFY(station.sim.setFault("specs", second, 1));
    click(station.window.get(), "btnSelectArticleVersion");
    auto* dialog = station.window->findChildren<SelectSoftware*>().last();
    QTRY_COMPARE(this->boxes().join('|'), boxes);
    QTRY_COMPARE(station.sim.requests("/api/v1/specs").size(), 2); // asked again
    auto* list = find<QComboBox>(dialog, "cbArticle");
    const auto listed = [list] {
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items << list->itemText(i);
        return items.join('|');
    };
    QTRY_COMPARE(listed(), articles);
}

void TestWorkflow::fatRetest_data()
{
    addColumns({"barcode", "fault", "box"});
    addRows({{"blanks around the barcode", "  G7654321 ", "", ""},
             {"barcode with a leading character", "xG7654321", "", "Bitte Barcode oder SW-Version auswählen!"},
             {"server refuses", "G7654321", R"(status:422:{"message":"Auftrag unbekannt"})", "Auftrag unbekannt"}});
}

// A flashed device goes straight to the tests, with its own serial number and configuration.
void TestWorkflow::fatRetest()
{
    QFETCH(QString, barcode);
    QFETCH(QString, fault);
    QFETCH(QString, box);
    Station station;
    QVERIFY(station.start());
    station.job().setArticle("4R0418"); // preselected whatever the letter case
    station.job().setSwVersion("2.0.0-QA");
    if (!fault.isEmpty())
        QVERIFY(station.sim.setFault("assignSerialNumber", fault));
    click(station.window.get(), "btnFATTest");
    QCOMPARE(argsOf(station.env.scriptRuns("RELAY")), (QStringList{"5 ON", "8 ON"})); // switched on first
    auto* dialog = station.window->findChildren<FATTest*>().last();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Starte FAT Test erneut"));
    QCOMPARE(find<QComboBox>(dialog, "cbArticle")->currentText(), QStringLiteral("4r0418"));
    find<QLineEdit>(dialog, "txtEMSSerialNumber")->setText(barcode);
    click(dialog, "btnOk");
    QTRY_VERIFY(!box.isEmpty() || dialog->findChild<TestSoftware*>());
    QTRY_COMPARE(boxes(), box.isEmpty() ? QStringList() : QStringList{box});
    QCOMPARE(dialog->isVisible(), !box.isEmpty()); // another try is possible
    if (!box.isEmpty()) {
        QCOMPARE(station.serialRequests(), fault.isEmpty() ? QStringList() : QStringList{"G7654321"});
        return;
    }
    QCOMPARE(station.serialRequests(), QStringList{"G7654321"});
    QCOMPARE(station.job().article(), QStringLiteral("4r0418"));
    QCOMPARE(station.job().serialNumber(), QStringLiteral("2400001"));
    QVERIFY(QFileInfo(station.env.path("configs/extract/labels/device.pdf")).isFile());
}

// (a) a scan while the previous job's order dialog waits inside its power-on takes over the record.
void TestWorkflow::scanDuringTheRelayWaitTakesOver()
{
    Station station;
    QVERIFY(station.start({"--image-size", "64K"}));
    station.select("4r0417", "1.2.0-dev");
    click(station.window.get(), "pushButton");
    ScanBarcode* first = station.window->orderDialog();
    QTest::keyClicks(find<QLineEdit>(first, "txtAuftragsnummer"), "G1111111");
    QTimer::singleShot(50, [&station] { type(station.window.get(), "txtBarcode", "G2222222"); });
    click(first, "pushButton"); // returns after its 500 ms relay wait
    QTRY_COMPARE_WITH_TIMEOUT(station.serialRequests(), QStringList{"G2222222"}, 15000);
    QCOMPARE(station.job().orderNumber(), QStringLiteral("G2222222"));
    QCOMPARE(label(station.window.get(), "lblEMSSerialNumber"), QStringLiteral("G2222222"));
    QCOMPARE(station.liveFlashDialogs().size(), 1);
    QCOMPARE(argsOf(station.env.scriptRuns("RELAY")), (QStringList{"5 ON", "5 ON", "8 ON"}));
}

// (b) a FAT re-test of another device while a scanned job downloads its image.
void TestWorkflow::fatRetestWhileAJobDownloads()
{
    Station station;
    QVERIFY(station.start({"--image-size", "2M"}));
    QVERIFY(station.sim.setFault("image", "slow:1000000"));
    station.select("4r0418", "2.0.0-qa");
    type(station.window.get(), "txtBarcode", "G1111111");
    QTRY_COMPARE(station.sim.requests().size(), 1); // the image is on its way
    click(station.window.get(), "btnFATTest");
    auto* dialog = station.window->findChildren<FATTest*>().last();
    find<QLineEdit>(dialog, "txtEMSSerialNumber")->setText("G7654321");
    click(dialog, "btnOk");
    QTRY_VERIFY(dialog->findChild<TestSoftware*>());
    QTest::qWait(3000); // the image would have arrived by now
    QCOMPARE(station.serialRequests(), QStringList{"G7654321"});
    QCOMPARE(station.env.scriptRuns("FLASH").size(), 0);
    QCOMPARE(station.job().orderNumber(), QStringLiteral("G7654321"));
    QCOMPARE(station.liveFlashDialogs().size(), 0);
}

NIMBREL_TEST_MAIN(TestWorkflow)
#include "tst_workflow.moc"
