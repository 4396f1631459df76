#include "configmanager.h"
#include "flashsession.h"
#include "flashsoftware.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>

// The station's real wait for the microcontroller after the power cycle, not shortened.
class TestMicrocontrollerWait : public QObject
{
    Q_OBJECT
private slots:
    void fullWaitAfterReboot();
};

void TestMicrocontrollerWait::fullWaitAfterReboot()
{
    TestEnvironment env;
    QCOMPARE(StationTimings::current().microcontrollerWaitMs, 63000);
    QCOMPARE(StationTimings::current().progressTickMs, 1000);

    FlashSession session;
    session.setArticle(QStringLiteral("4r0417"));
    session.setSwVersion(QStringLiteral("1.2.0-dev"));
    session.setImage(QStringLiteral("nimbrel-4r0417"));
    session.setSerialNumber(QStringLiteral("2400001"));
    FlashSoftware dialog;
    dialog.setFlashSession(&session);
    auto* reboot = dialog.findChild<QCheckBox*>(QStringLiteral("cbRebootNimbrel"));
    auto* microcontroller = dialog.findChild<QCheckBox*>(QStringLiteral("cbFlashMSP"));
    auto* bar = dialog.findChild<QProgressBar*>(QStringLiteral("pbStatus"));
    auto* next = dialog.findChild<QPushButton*>(QStringLiteral("btnOpenPrintDialog"));

    QElapsedTimer sinceReboot;
    qint64 waited = -1;
    int barBeforeEnd = -1;
    connect(reboot, &QCheckBox::toggled, this, [&] { sinceReboot.start(); });
    connect(microcontroller, &QCheckBox::toggled, this, [&] {
        waited = sinceReboot.elapsed();
        barBeforeEnd = bar->value();
    });

    emit dialog.findChild<ConfigManager*>()->downloadConfigComplete(QString());
    QTRY_VERIFY_WITH_TIMEOUT(reboot->isChecked(), 20000);
    QVERIFY(!microcontroller->isChecked());
    QVERIFY(!next->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(microcontroller->isChecked(), 75000);
    QVERIFY2(waited >= 63000, qPrintable(QString::number(waited)));
    // one step a second from 190 while waiting
    QVERIFY2(barBeforeEnd >= 240 && barBeforeEnd <= 253, qPrintable(QString::number(barBeforeEnd)));
    QCOMPARE(bar->value(), 265);
    QVERIFY(next->isEnabled());
}

NIMBREL_TEST_MAIN(TestMicrocontrollerWait)
#include "tst_microcontrollerwait.moc"
