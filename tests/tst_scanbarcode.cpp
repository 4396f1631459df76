#include "flashsession.h"
#include "flashsoftware.h"
#include "logcapture.h"
#include "online.h"
#include "powercontrol.h"
#include "scanbarcode.h"
#include "settings.h"
#include "stationtimings.h"
#include "testmain.h"
#include "teststation.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

using teststation::roleArgs;

namespace {
QLineEdit* field(const ScanBarcode& dialog)
{
    return dialog.findChild<QLineEdit*>(QStringLiteral("txtAuftragsnummer"));
}

QPushButton* weiter(const ScanBarcode& dialog)
{
    return dialog.findChild<QPushButton*>(QStringLiteral("pushButton"));
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

    void weiterFollowsLength_data();
    void weiterFollowsLength();
    void invalidNumberIsRefused_data();
    void invalidNumberIsRefused();
    void validNumberStartsJob_data();
    void validNumberStartsJob();
    void deletedWhileSwitchingPowerOn();
    void deletedWhileFlashing();
};

void TestScanBarcode::weiterFollowsLength_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("backspaces");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("nothing") << "" << 0 << false;
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
    QTest::addColumn<bool>("preset"); // from the command line instead of the scanner

    QTest::newRow("six characters") << "G12345" << false;
    QTest::newRow("seven characters") << "G123456" << false;
    QTest::newRow("small g") << "g1234567" << false;
    QTest::newRow("eight digits") << "G12345678" << false;
    QTest::newRow("letter among digits") << "G123456a" << false;
    QTest::newRow("other letter") << "X1234567" << false;
    QTest::newRow("blank in front") << " G1234567" << false;
    QTest::newRow("line end behind") << "G1234567\n" << false;
    QTest::newRow("preset, seven characters") << "G123456" << true;
}

void TestScanBarcode::invalidNumberIsRefused()
{
    QFETCH(QString, text);
    QFETCH(bool, preset);

    TestEnvironment env;
    FlashSession session;
    fillSession(session);
    ScanBarcode dialog;
    dialog.setFlashSession(&session);
    dialog.show();
    if (preset) {
        dialog.presetOrderNumber(text);
    } else {
        field(dialog)->setText(text);
        QVERIFY(weiter(dialog)->isEnabled());
        QTest::mouseClick(weiter(dialog), Qt::LeftButton);
    }

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
    QTest::addColumn<QString>("how");
    QTest::newRow("Weiter") << "Weiter";
    QTest::newRow("Enter from the scanner") << "Enter";
    QTest::newRow("preset from the command line") << "preset";
}

void TestScanBarcode::validNumberStartsJob()
{
    QFETCH(QString, how);

    TestEnvironment env;
    Simulator sim;
    QVERIFY(goOnline(env, sim));
    FlashSession session;
    fillSession(session);
    ScanBarcode dialog;
    dialog.setFlashSession(&session);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    if (how == QLatin1String("preset")) {
        dialog.presetOrderNumber(QStringLiteral("G1234567"));
        QCOMPARE(field(dialog)->text(), QStringLiteral("G1234567"));
    } else {
        field(dialog)->setFocus();
        QTest::keyClicks(field(dialog), QStringLiteral("G1234567"));
        if (how == QLatin1String("Enter"))
            QTest::keyClick(field(dialog), Qt::Key_Return);
        else
            QTest::mouseClick(weiter(dialog), Qt::LeftButton);
    }

    QVERIFY(!dialog.isVisible());
    QCOMPARE(session.orderNumber(), QStringLiteral("G1234567"));
    QCOMPARE(roleArgs(env, "RELAY"), QStringList({"5|ON", "8|ON"}));
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
    QVERIFY(goOnline(env, sim));
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
