#include "flashsession.h"
#include "flashsoftware.h"
#include "logcapture.h"
#include "powercontrol.h"
#include "scanbarcode.h"
#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QCheckBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

namespace {
QLineEdit* field(const ScanBarcode& dialog)
{
    return dialog.findChild<QLineEdit*>(QStringLiteral("txtAuftragsnummer"));
}

QPushButton* weiter(const ScanBarcode& dialog)
{
    return dialog.findChild<QPushButton*>(QStringLiteral("pushButton"));
}

QStringList powerRuns(const TestEnvironment& env)
{
    QStringList runs;
    for (const QJsonObject& run : env.scriptRuns(QStringLiteral("RELAY"))) {
        QStringList line;
        for (const QJsonValue& arg : run.value(QStringLiteral("args")).toArray())
            line << arg.toString();
        runs << line.join(QLatin1Char(' '));
    }
    return runs;
}

void fillSession(FlashSession& session)
{
    session.setArticle(QStringLiteral("4r0417"));
    session.setSwVersion(QStringLiteral("1.2.0-dev"));
    session.setImage(QStringLiteral("nimbrel-4r0417"));
    session.setOrderNumber(QStringLiteral("G7654321")); // the previous job's
}
} // namespace

class TestScanBarcode : public QObject
{
    Q_OBJECT
private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void form();
    void weiterFollowsLength_data();
    void weiterFollowsLength();
    void invalidNumberIsRefused_data();
    void invalidNumberIsRefused();
    void validNumberStartsJob_data();
    void validNumberStartsJob();
    void presetOrderNumber_data();
    void presetOrderNumber();
    void deletedWhileSwitchingPowerOn();
    void deletedWhileFlashing();
};

void TestScanBarcode::form()
{
    TestEnvironment env;
    ScanBarcode dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Dialog"));
    QCOMPARE(dialog.size(), QSize(549, 170));
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_2"))->text(),
             QStringLiteral("Bitte Auftragsnummer einscannen"));
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label"))->text(), QStringLiteral("Auftragsnummer"));
    QVERIFY(field(dialog)->text().isEmpty());
    QCOMPARE(weiter(dialog)->text(), QStringLiteral("Weiter"));
    QVERIFY(!weiter(dialog)->isEnabled());
}

void TestScanBarcode::weiterFollowsLength_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("backspaces");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("five") << "G1234" << 0 << false;
    QTest::newRow("six") << "G12345" << 0 << true;
    QTest::newRow("any six") << "abcdef" << 0 << true;
    QTest::newRow("eight") << "G1234567" << 0 << true;
    QTest::newRow("back to five") << "G12345" << 1 << false;
    QTest::newRow("back to six") << "G1234567" << 2 << true;
}

void TestScanBarcode::weiterFollowsLength()
{
    QFETCH(QString, typed);
    QFETCH(int, backspaces);
    QFETCH(bool, enabled);

    TestEnvironment env;
    ScanBarcode dialog;
    dialog.show();
    QTest::keyClicks(field(dialog), typed);
    for (int i = 0; i < backspaces; ++i)
        QTest::keyClick(field(dialog), Qt::Key_Backspace);
    QCOMPARE(weiter(dialog)->isEnabled(), enabled);
}

void TestScanBarcode::invalidNumberIsRefused_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("six characters") << "G12345";
    QTest::newRow("seven characters") << "G123456";
    QTest::newRow("small g") << "g1234567";
    QTest::newRow("eight digits") << "G12345678";
    QTest::newRow("letter among digits") << "G123456a";
    QTest::newRow("other letter") << "X1234567";
    QTest::newRow("blank in front") << " G1234567";
    QTest::newRow("line end behind") << "G1234567\n";
}

void TestScanBarcode::invalidNumberIsRefused()
{
    QFETCH(QString, text);

    TestEnvironment env;
    FlashSession session;
    fillSession(session);
    ScanBarcode dialog;
    dialog.setFlashSession(&session);
    dialog.show();
    field(dialog)->setText(text);
    QVERIFY(weiter(dialog)->isEnabled());
    QTest::mouseClick(weiter(dialog), Qt::LeftButton);

    QVERIFY(dialog.isVisible());
    QVERIFY(weiter(dialog)->isEnabled());
    QCOMPARE(field(dialog)->text(), text);
    QVERIFY(!dialog.findChild<FlashSoftware*>());
    QCOMPARE(session.orderNumber(), QStringLiteral("G7654321"));
    QVERIFY(env.scriptRuns().isEmpty()); // no power switched
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

void TestScanBarcode::validNumberStartsJob_data()
{
    QTest::addColumn<bool>("byEnter");
    QTest::newRow("Weiter") << false;
    QTest::newRow("Enter from the scanner") << true;
}

void TestScanBarcode::validNumberStartsJob()
{
    QFETCH(bool, byEnter);

    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    FlashSession session;
    fillSession(session);
    ScanBarcode dialog;
    dialog.setFlashSession(&session);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    field(dialog)->setFocus();
    QTest::keyClicks(field(dialog), QStringLiteral("G1234567"));
    if (byEnter)
        QTest::keyClick(field(dialog), Qt::Key_Return);
    else
        QTest::mouseClick(weiter(dialog), Qt::LeftButton);

    QVERIFY(!dialog.isVisible());
    QCOMPARE(session.orderNumber(), QStringLiteral("G1234567"));
    QCOMPARE(powerRuns(env), QStringList({"5 ON", "8 ON"}));
    const QList<FlashSoftware*> flashDialogs = dialog.findChildren<FlashSoftware*>();
    QCOMPARE(flashDialogs.size(), 1);
    FlashSoftware* flash = flashDialogs.first();
    QVERIFY(flash->isVisible());
    QCOMPARE(flash->parentWidget(), &dialog);
    QCOMPARE(flash->flashSession(), &session);
    // The flash dialog has started its sequence: the image is being fetched.
    QTRY_VERIFY(!sim.requests().isEmpty());
    QVERIFY(
        sim.requests().first().value(QStringLiteral("path")).toString().startsWith(QStringLiteral("/cls/")));
}

void TestScanBarcode::presetOrderNumber_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("starts");
    QTest::newRow("valid") << "G1234567" << true;
    QTest::newRow("invalid") << "G123456" << false;
}

void TestScanBarcode::presetOrderNumber()
{
    QFETCH(QString, number);
    QFETCH(bool, starts);

    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    FlashSession session;
    fillSession(session);
    ScanBarcode dialog;
    dialog.show();
    dialog.setFlashSession(&session);
    dialog.presetOrderNumber(number);

    QCOMPARE(dialog.isVisible(), !starts);
    QCOMPARE(field(dialog)->text(), number);
    QCOMPARE(dialog.findChildren<FlashSoftware*>().size(), starts ? 1 : 0);
    QCOMPARE(session.orderNumber(), starts ? number : QStringLiteral("G7654321"));
}

void TestScanBarcode::deletedWhileSwitchingPowerOn()
{
    TestEnvironment env;
    FlashSession session;
    fillSession(session);
    QPointer<ScanBarcode> dialog = new ScanBarcode;
    dialog->setFlashSession(&session);
    dialog->show();
    // Goes while the relays are switched and events are served in between.
    QTimer::singleShot(100, [&dialog] {
        QVERIFY(PowerControl::isWaiting());
        delete dialog;
    });
    dialog->presetOrderNumber(QStringLiteral("G1234567"));
    QVERIFY(!dialog);
    QCOMPARE(session.orderNumber(), QStringLiteral("G7654321"));
}

void TestScanBarcode::deletedWhileFlashing()
{
    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    StationTimings timings;
    timings.flashPauseMs = 0;
    StationTimings::setForTesting(timings);
    TestEnvironment::setScriptDelay(QStringLiteral("FLASH"), 20);
    LogCapture log;

    FlashSession session;
    fillSession(session);
    auto* dialog = new ScanBarcode;
    dialog->setFlashSession(&session);
    dialog->show();
    dialog->presetOrderNumber(QStringLiteral("G1234567"));
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("Flashen für Seriennummer 2400001")), 30000);

    // The next job replaces this one once control is back in the event loop.
    dialog->deleteLater();
    QTRY_COMPARE_WITH_TIMEOUT(env.scriptRuns(QStringLiteral("FLASH")).size(), 1, 10000);
    QCOMPARE(env.scriptRuns(QStringLiteral("FLASH")).first().value(QStringLiteral("exit")).toInt(), -15);
    QVERIFY(log.contains(QStringLiteral("stopping the flash script")));
    QTest::qWait(50);
    QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList());
}

NIMBREL_TEST_MAIN(TestScanBarcode)
#include "tst_scanbarcode.moc"
