#include "about.h"
#include "fattest.h"
#include "flashsession.h"
#include "flashsoftware.h"
#include "mainwindow.h"
#include "scanbarcode.h"
#include "selectsoftware.h"
#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init() { MessageBox::takeShownForTesting(); }
    void formTexts();
    void invalidScanIsDropped_data();
    void invalidScanIsDropped();
    void scanWithoutSelectionWarns();
    void validScanStartsAJob();
    void secondScanReplacesThePreviousJob();
    void secondScanWhileFlashingStopsTheOldScript();
    void scanRightAfterAClickIsAccepted();
    void manualPathChecksFlashScript_data();
    void manualPathChecksFlashScript();
    void manualPathWithoutSelectionClosesPreviousJob();
    void selectionTakesTheLastMatchingImage();
    void snapDefaultSurvivesASelection();
    void powerOnButton();
    void fatButtonPowersOnThenOpensTheDialog();
    void aboutTwice();

private:
    static void scan(MainWindow& window, const QString& text)
    {
        auto* field = window.findChild<QLineEdit*>(QStringLiteral("txtBarcode"));
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    }
    static QString text(MainWindow& window, const char* name)
    {
        return window.findChild<QLabel*>(QString::fromLatin1(name))->text();
    }
    static void select(MainWindow& window, const QString& article, const QString& version)
    {
        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("btnSelectArticleVersion")),
                          Qt::LeftButton);
        auto* dialog = window.findChildren<SelectSoftware*>().last();
        dialog->findChild<QComboBox*>(QStringLiteral("cbArticle"))->setCurrentText(article);
        dialog->findChild<QComboBox*>(QStringLiteral("cbSWVersion"))->setCurrentText(version);
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnOk")), Qt::LeftButton);
    }
};

void TestMainWindow::formTexts()
{
    TestEnvironment env;
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Nimbrel Produktion Ferlund"));
    QCOMPARE(window.findChild<QPushButton*>(QStringLiteral("pushButton"))->text(),
             QStringLiteral("Barcode manuell eingeben"));
    QCOMPARE(window.findChild<QAction*>(QStringLiteral("actionBeenden"))->shortcut(),
             QKeySequence(QStringLiteral("Ctrl+Q")));
    auto* field = window.findChild<QLineEdit*>(QStringLiteral("txtBarcode"));
    QCOMPARE(field->maximumSize(), QSize(0, 0));
    window.setEndpointText(QStringLiteral("http://127.0.0.1:9/"));
    QCOMPARE(text(window, "txtServer"), QStringLiteral("http://127.0.0.1:9/"));
}

void TestMainWindow::invalidScanIsDropped_data()
{
    QTest::addColumn<QString>("code");
    QTest::newRow("lower-case g") << "g1234567";
    QTest::newRow("six digits") << "G123456";
    QTest::newRow("eight digits") << "G12345678";
    QTest::newRow("leading blank") << " G1234567";
    QTest::newRow("trailing blank") << "G1234567 ";
    QTest::newRow("empty") << "";
}

void TestMainWindow::invalidScanIsDropped()
{
    QFETCH(QString, code);
    TestEnvironment env;
    MainWindow window;
    window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    scan(window, code);
    QVERIFY(!window.orderDialog());
    QCOMPARE(window.findChild<QLineEdit*>(QStringLiteral("txtBarcode"))->text(), QString());
    QCOMPARE(text(window, "lblEMSSerialNumber"), QString());
    QVERIFY(MessageBox::takeShownForTesting().isEmpty());
    QVERIFY(env.scriptRuns().isEmpty()); // the device is not switched on
}

void TestMainWindow::scanWithoutSelectionWarns()
{
    TestEnvironment env;
    MainWindow window;
    scan(window, QStringLiteral("G1234567"));
    QCOMPARE(MessageBox::takeShownTextsForTesting(),
             QStringList{QStringLiteral("Bitte zuerst Artikel und Software Version auswählen!")});
    QVERIFY(!window.orderDialog());
    QCOMPARE(text(window, "lblEMSSerialNumber"), QString());
    QCOMPARE(window.findChild<QLineEdit*>(QStringLiteral("txtBarcode"))->text(), QString());
}

void TestMainWindow::validScanStartsAJob()
{
    TestEnvironment env;
    MainWindow window;
    window.show();
    window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    scan(window, QStringLiteral("G1234567"));
    ScanBarcode* dialog = window.orderDialog();
    QVERIFY(dialog);
    QVERIFY(!dialog->isVisible()); // it handed over to the flash dialog at once
    QCOMPARE(window.flashSession()->orderNumber(), QStringLiteral("G1234567"));
    QCOMPARE(text(window, "lblEMSSerialNumber"), QStringLiteral("G1234567"));
    QCOMPARE(window.findChild<QLineEdit*>(QStringLiteral("txtBarcode"))->text(), QString());
    auto* flash = dialog->findChild<FlashSoftware*>();
    QVERIFY(flash);
    QVERIFY(flash->isVisible());
    QCOMPARE(env.scriptRuns(QStringLiteral("RELAY")).size(), 2); // switched on
}

void TestMainWindow::secondScanReplacesThePreviousJob()
{
    TestEnvironment env;
    MainWindow window;
    window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    scan(window, QStringLiteral("G1234567"));
    QPointer<ScanBarcode> first = window.orderDialog();
    QPointer<FlashSoftware> firstFlash = first->findChild<FlashSoftware*>();
    QVERIFY(firstFlash);
    scan(window, QStringLiteral("G7654321"));
    QVERIFY(window.orderDialog() != first.data());
    QTRY_VERIFY(first.isNull());
    QVERIFY(firstFlash.isNull());
    QCOMPARE(window.flashSession()->orderNumber(), QStringLiteral("G7654321"));
    QCOMPARE(text(window, "lblEMSSerialNumber"), QStringLiteral("G7654321"));
}

void TestMainWindow::secondScanWhileFlashingStopsTheOldScript()
{
    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    StationTimings timings;
    timings.microcontrollerWaitMs = 200;
    StationTimings::setForTesting(timings);
    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 60);
    MainWindow window;
    window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    scan(window, QStringLiteral("G1234567"));
    QPointer<FlashSoftware> first = window.orderDialog()->findChild<FlashSoftware*>();
    QTRY_VERIFY_WITH_TIMEOUT(first->findChild<QCheckBox*>(QStringLiteral("cbDownloadConfig"))->isChecked(),
                             20000);
    QTest::qWait(1000); // the flash script is running now

    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 0);
    scan(window, QStringLiteral("G7654321"));
    QTRY_VERIFY(first.isNull());
    auto* second = window.orderDialog()->findChild<FlashSoftware*>();
    QTRY_VERIFY_WITH_TIMEOUT(second->findChild<QCheckBox*>(QStringLiteral("cbFlashMSP"))->isChecked(), 30000);

    const auto flashes = env.scriptRuns(QStringLiteral("FLASH"));
    QCOMPARE(flashes.size(), 2);
    QCOMPARE(flashes.at(0).value("exit").toInt(), -15); // stopped, not left running beside the new one
    QVERIFY(flashes.at(0).value("end").toDouble() <= flashes.at(1).value("start").toDouble());
    const QJsonObject state = sim.state().value("serials").toObject();
    QCOMPARE(flashes.at(1).value("args").toArray().at(5).toString(),
             QString::number(state.value("G7654321").toInt()));
    QVERIFY(MessageBox::takeShownForTesting().isEmpty());
}

void TestMainWindow::scanRightAfterAClickIsAccepted()
{
    TestEnvironment env;
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    auto* about = window.findChild<QPushButton*>(QStringLiteral("btnSelectArticleVersion"));
    about->setFocus();
    QCOMPARE(QApplication::focusWidget(), about);
    // the scanner types into whatever has the focus: the first key reaches the window
    for (const QChar c : QStringLiteral("G1234567"))
        QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("txtBarcode"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(window.orderDialog());
    QCOMPARE(window.flashSession()->orderNumber(), QStringLiteral("G1234567"));
}

void TestMainWindow::manualPathChecksFlashScript_data()
{
    QTest::addColumn<QString>("scriptName");
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("script present") << "./4R0417_stage1.sh" << QStringList();
    QTest::newRow("script missing") << "./missing.sh"
                                    << QStringList{
                                           "Kein Flash Skript gefunen! Konfigurationsdatei überprüfen!"};
}

void TestMainWindow::manualPathChecksFlashScript()
{
    QFETCH(QString, scriptName);
    QFETCH(QStringList, boxes);
    TestEnvironment env;
    Settings::setValue(QStringLiteral("FlashScriptName"), scriptName);
    MainWindow window;
    window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("pushButton")), Qt::LeftButton);
    QCOMPARE(MessageBox::takeShownTextsForTesting(), boxes);
    QVERIFY(window.orderDialog()); // opens anyway
    QVERIFY(window.orderDialog()->isVisible());
    QCOMPARE(text(window, "lblEMSSerialNumber"), QString());
    QVERIFY(env.scriptRuns().isEmpty()); // nothing switched before a number is typed
}

void TestMainWindow::manualPathWithoutSelectionClosesPreviousJob()
{
    TestEnvironment env;
    MainWindow window;
    window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("pushButton")), Qt::LeftButton);
    QPointer<ScanBarcode> first = window.orderDialog();
    QVERIFY(first);
    window.flashSession()->setArticle(QString());
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("pushButton")), Qt::LeftButton);
    QCOMPARE(MessageBox::takeShownTextsForTesting(),
             QStringList{QStringLiteral("Bitte zuerst Artikel und Software Version auswählen!")});
    QVERIFY(!window.orderDialog());
    QTRY_VERIFY(first.isNull());
}

void TestMainWindow::selectionTakesTheLastMatchingImage()
{
    TestEnvironment env;
    env.settings()->setSpecs(
        {{"4r0417", "1.0", "first"}, {" 4r0417 ", " 1.0 ", " second "}, {"4r0418", "1.0", "other"}});
    MainWindow window;
    select(window, QStringLiteral("4r0417"), QStringLiteral("1.0"));
    QCOMPARE(window.flashSession()->article(), QStringLiteral("4r0417"));
    QCOMPARE(window.flashSession()->swVersion(), QStringLiteral("1.0"));
    QCOMPARE(window.flashSession()->image(), QStringLiteral("second"));
    QCOMPARE(text(window, "txtImage"), QStringLiteral("second"));
    QCOMPARE(text(window, "txtArtikel"), QStringLiteral("4r0417"));

    // no matching entry: the image stays as it was
    env.settings()->setSpecs({{"4r0419", "9.9", "x"}});
    select(window, QStringLiteral("4r0419"), QStringLiteral("9.9"));
    env.settings()->setSpecs({});
    select(window, QString(), QString());
    QCOMPARE(window.flashSession()->image(), QStringLiteral("x"));
}

void TestMainWindow::snapDefaultSurvivesASelection()
{
    TestEnvironment env;
    MainWindow window;
    window.setDefaultImage("4r0417", "1.2.3-snap", "2024-05-17", "a1b2c3");
    FlashSession* session = window.flashSession();
    QCOMPARE(text(window, "txtImage"), QStringLiteral("4r0417"));
    QCOMPARE(session->image(), QStringLiteral("4r0417"));
    QCOMPARE(session->snapImageName(), QStringLiteral("4r0417-1.2.3-snap-2024-05-17-a1b2c3"));
    env.settings()->setSpecs({{"4r0418", "2.0.0-qa", "nimbrel-4r0418"}});
    select(window, QStringLiteral("4r0418"), QStringLiteral("2.0.0-qa"));
    QCOMPARE(session->image(), QStringLiteral("nimbrel-4r0418"));
    QCOMPARE(session->snapImageName(), QStringLiteral("4r0417-1.2.3-snap-2024-05-17-a1b2c3"));
    QCOMPARE(session->snapDate(), QStringLiteral("2024-05-17"));
    QCOMPARE(session->commitHash(), QStringLiteral("a1b2c3"));
}

void TestMainWindow::powerOnButton()
{
    TestEnvironment env;
    MainWindow window;
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("btnPowerOn")), Qt::LeftButton);
    const auto runs = env.scriptRuns(QStringLiteral("RELAY"));
    QCOMPARE(runs.size(), 2);
    QCOMPARE(runs.at(1).value("args").toVariant().toStringList(), (QStringList{"8", "ON"}));
}

void TestMainWindow::fatButtonPowersOnThenOpensTheDialog()
{
    TestEnvironment env;
    MainWindow window;
    TestEnvironment::setScriptDelay(QStringLiteral("RELAY"), 0.2);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("btnFATTest")), Qt::LeftButton);
    auto* fat = window.findChild<FATTest*>();
    QVERIFY(fat);
    QVERIFY(fat->isVisible());
    QCOMPARE(env.scriptRuns(QStringLiteral("RELAY")).size(), 2); // switched on before the dialog came
}

void TestMainWindow::aboutTwice()
{
    TestEnvironment env;
    MainWindow window;
    window.findChild<QAction*>(QStringLiteral("actionUeber"))->trigger();
    window.findChild<QAction*>(QStringLiteral("actionUeber"))->trigger();
    const auto dialogs = window.findChildren<About*>();
    QCOMPARE(dialogs.size(), 2);
    for (About* about : dialogs) {
        QVERIFY(about->isVisible());
        QCOMPARE(about->findChild<QLabel*>(QStringLiteral("txtVersion"))->text(), QStringLiteral("0.1.9"));
    }
}

NIMBREL_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
