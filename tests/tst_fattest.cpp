#include "configmanager.h"
#include "fattest.h"
#include "flashsession.h"
#include "messagebox.h"
#include "settings.h"
#include "simulator.h"
#include "testenvironment.h"
#include "testmain.h"
#include "testsoftware.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
const QList<SpecEntry> specs{{"4r0417", "1.2.0-dev", "nimbrel-4r0417"},
                             {"4r0417", "0.9.1-dev", "nimbrel-4r0417"},
                             {"4r0417", "1.2.0-dev", "nimbrel-4r0417-b"},
                             {"4R0417", "1.3.0-qa", "nimbrel-4r0417"},
                             {"4r0418", "2.0.0-qa", "nimbrel-4r0418"}};

template <typename T> T* child(QObject& parent, const char* name)
{
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

// Has the simulator hand out the serial number of order G1234567, as a first run of the device did.
QString handOutSerial(Simulator& sim)
{
    ConfigManager client;
    QSignalSpy assigned(&client, &ConfigManager::assingedSerialnummber);
    client.assignSerialNumber(QStringLiteral("4r0417"), QStringLiteral("1.2.0-dev"),
                              QStringLiteral("G1234567"));
    if (!assigned.wait(10000))
        return QString();
    sim.clearRequests();
    return assigned.first().first().toString();
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList items(QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}
} // namespace

class TestFATTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void listsComeFromTheServersArticles()
    {
        TestEnvironment env;
        env.settings()->setSpecs(specs);
        FATTest dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Starte FAT Test erneut"));
        QCOMPARE(items(child<QComboBox>(dialog, "cbArticle")), (QStringList{"4r0417", "4R0417", "4r0418"}));
        QCOMPARE(child<QComboBox>(dialog, "cbArticle")->currentIndex(), 0);
        // Articles compare without case, versions are listed once.
        QCOMPARE(items(child<QComboBox>(dialog, "cbSWVersion")),
                 (QStringList{"1.2.0-dev", "0.9.1-dev", "1.3.0-qa"}));
    }

    void preselectionFromTheJob_data()
    {
        QTest::addColumn<QString>("article");
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("articleIndex");
        QTest::addColumn<QString>("selectedVersion");
        QTest::newRow("exact") << "4r0418"
                               << "2.0.0-qa" << 2 << "2.0.0-qa";
        QTest::newRow("letter case differs, last match wins") << "4r0417"
                                                              << "0.9.1-DEV" << 1 << "0.9.1-dev";
        QTest::newRow("unknown article keeps the first") << "9x9999"
                                                         << "1.0" << 0 << "1.2.0-dev";
    }

    void preselectionFromTheJob()
    {
        QFETCH(QString, article);
        QFETCH(QString, version);
        QFETCH(int, articleIndex);
        QFETCH(QString, selectedVersion);
        TestEnvironment env;
        env.settings()->setSpecs(specs);
        FlashSession session;
        session.setArticle(article);
        session.setSwVersion(version);
        FATTest dialog;
        dialog.setFlashSession(&session);
        QCOMPARE(child<QComboBox>(dialog, "cbArticle")->currentIndex(), articleIndex);
        QCOMPARE(child<QComboBox>(dialog, "cbSWVersion")->currentText(), selectedVersion);
    }

    void barcodeRule_data()
    {
        QTest::addColumn<QString>("barcode");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("G and seven digits") << "G1234567" << true;
        QTest::newRow("blanks around") << "  G7654321 \t" << true;
        QTest::newRow("lower-case g") << "g1234567" << false;
        QTest::newRow("six digits") << "G123456" << false;
        QTest::newRow("eight digits") << "G12345678" << false;
        QTest::newRow("character before") << "XG1234567" << false;
        QTest::newRow("letter among the digits") << "G12345a7" << false;
        QTest::newRow("empty") << "" << false;
    }

    void barcodeRule()
    {
        QFETCH(QString, barcode);
        QFETCH(bool, accepted);
        TestEnvironment env;
        Simulator sim;
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        env.settings()->setSpecs(specs);
        FlashSession session;
        session.setOrderNumber(QStringLiteral("G0000000"));
        FATTest dialog;
        dialog.setFlashSession(&session);
        dialog.show();
        child<QComboBox>(dialog, "cbSWVersion")->setCurrentIndex(1);
        child<QLineEdit>(dialog, "txtEMSSerialNumber")->setText(barcode);
        QTest::mouseClick(child<QPushButton>(dialog, "btnOk"), Qt::LeftButton);

        if (!accepted) {
            QCOMPARE(MessageBox::takeShownTextsForTesting(),
                     QStringList{"Bitte Barcode oder SW-Version auswählen!"});
            QCOMPARE(session.orderNumber(), QStringLiteral("G0000000"));
            QVERIFY(dialog.isVisible());
            QVERIFY(sim.requests("/api/v1/assignSerialNumber").isEmpty());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
        const QList<QJsonObject> requests = sim.requests("/api/v1/assignSerialNumber");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(Simulator::queryString(requests[0]),
                 "article=4r0417&version=0.9.1-dev&emsSerialNumber=" + barcode.trimmed());
        QCOMPARE(session.article(), QStringLiteral("4r0417"));
        QCOMPARE(session.swVersion(), QStringLiteral("0.9.1-dev"));
        QCOMPARE(session.orderNumber(), barcode.trimmed());
        QVERIFY(!session.serialNumber().isEmpty());
        TestSoftware* window = dialog.findChild<TestSoftware*>();
        QVERIFY(window && window->isVisible());
        QCOMPARE(child<QLabel>(*window, "lblSeriennummerTarvelin")->text(), session.serialNumber());
        QVERIFY(MessageBox::takeShownTextsForTesting().isEmpty());
    }

    void noVersionIsRefused()
    {
        TestEnvironment env;
        FlashSession session;
        FATTest dialog; // empty spec list: nothing to choose
        dialog.setFlashSession(&session);
        child<QLineEdit>(dialog, "txtEMSSerialNumber")->setText("G1234567");
        QTest::mouseClick(child<QPushButton>(dialog, "btnOk"), Qt::LeftButton);
        QCOMPARE(MessageBox::takeShownTextsForTesting(),
                 QStringList{"Bitte Barcode oder SW-Version auswählen!"});
        QVERIFY(session.orderNumber().isEmpty());
    }

    void serverRefusalKeepsTheDialogOpen()
    {
        TestEnvironment env;
        Simulator sim;
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        QVERIFY(sim.setFault("assignSerialNumber", "status:409:{\"message\":\"Auftrag gesperrt\"}", 1));
        env.settings()->setSpecs(specs);
        FlashSession session;
        FATTest dialog;
        dialog.setFlashSession(&session);
        dialog.show();
        child<QLineEdit>(dialog, "txtEMSSerialNumber")->setText("G1234567");
        QPushButton* ok = child<QPushButton>(dialog, "btnOk");
        QTest::mouseClick(ok, Qt::LeftButton);
        QVERIFY(!ok->isEnabled()); // no second request while one is under way
        QTRY_VERIFY_WITH_TIMEOUT(ok->isEnabled(), 20000);

        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList{"Auftrag gesperrt"});
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.findChildren<TestSoftware*>().isEmpty());
        QVERIFY(session.serialNumber().isEmpty());

        QTest::mouseClick(ok, Qt::LeftButton); // the operator tries again
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
        QCOMPARE(sim.requests("/api/v1/assignSerialNumber").size(), 2);
    }

    void replyWithoutSerialNeverShowsAnEmptyBox()
    {
        TestEnvironment env;
        env.settings()->setSpecs(specs);
        FlashSession session;
        FATTest dialog;
        dialog.setFlashSession(&session);
        dialog.show();
        QVERIFY(QMetaObject::invokeMethod(&dialog, "onSerialNumberAssigned", Q_ARG(QString, QString()),
                                          Q_ARG(QString, QString())));
        const QStringList shown = MessageBox::takeShownTextsForTesting();
        QCOMPARE(shown.size(), 1);
        QVERIFY(!shown.first().trimmed().isEmpty());
        QVERIFY(dialog.isVisible());
    }

    void serialWithWarningStillOpensTheTests()
    {
        TestEnvironment env;
        Simulator sim;
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        env.settings()->setSpecs(specs);
        FlashSession session;
        session.setArticle(QStringLiteral("4r0417"));
        FATTest dialog;
        dialog.setFlashSession(&session);
        dialog.show();
        const QString serial = handOutSerial(sim);
        QVERIFY(QMetaObject::invokeMethod(&dialog, "onSerialNumberAssigned", Q_ARG(QString, serial),
                                          Q_ARG(QString, "bereits vergeben")));
        QCOMPARE(session.serialNumber(), serial);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
        QVERIFY(dialog.findChild<TestSoftware*>()->isVisible());
        QVERIFY(MessageBox::takeShownTextsForTesting().isEmpty());
    }

    // The labels of a re-tested device come from its own configuration, fetched anew: the
    // last close removed the device's files, and what is left belongs to another device.
    void retestFetchesTheDevicesConfiguration()
    {
        TestEnvironment env;
        Simulator sim;
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        env.settings()->setSpecs(specs);
        const QString serial = handOutSerial(sim);
        writeFile(env.path("configs/extract/labels/device.pdf"), "(Seriennummer: 2399999) Tj");
        writeFile(env.path("configs/extract/etc/hostname"), "nimbrel-2399999\n");
        FlashSession session;
        session.setImage(QStringLiteral("nimbrel-4r0417"));
        FATTest dialog;
        dialog.setFlashSession(&session);
        dialog.show();
        child<QLineEdit>(dialog, "txtEMSSerialNumber")->setText("G1234567");
        QTest::mouseClick(child<QPushButton>(dialog, "btnOk"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);

        QCOMPARE(session.serialNumber(), serial);
        const QList<QJsonObject> configs = sim.requests("/api/v1/configs");
        QCOMPARE(configs.size(), 1);
        QCOMPARE(Simulator::queryString(configs[0]), "article=4r0417&serialNumber=" + serial);
        QVERIFY(readFile(env.path("configs/extract/labels/device.pdf"))
                    .contains("(Seriennummer: " + serial.toLatin1() + ") Tj"));
        QCOMPARE(readFile(env.path("configs/extract/etc/hostname")), "nimbrel-" + serial.toLatin1() + "\n");
        QVERIFY(QFileInfo::exists(env.path("configs/extract/labels/package.pdf")));
        QVERIFY(dialog.findChild<TestSoftware*>()->isVisible());
        QVERIFY(MessageBox::takeShownTextsForTesting().isEmpty());
    }

    void configurationFailureKeepsTheDialogOpen()
    {
        TestEnvironment env;
        Simulator sim;
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        QVERIFY(sim.setFault("configs", "status:500:{\"message\":\"Konfiguration fehlt\"}", 1));
        env.settings()->setSpecs(specs);
        FlashSession session;
        FATTest dialog;
        dialog.setFlashSession(&session);
        dialog.show();
        child<QLineEdit>(dialog, "txtEMSSerialNumber")->setText("G1234567");
        QPushButton* ok = child<QPushButton>(dialog, "btnOk");
        QTest::mouseClick(ok, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(ok->isEnabled(), 20000);

        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList{"Konfiguration fehlt"});
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.findChildren<TestSoftware*>().isEmpty());
        QVERIFY(!QFileInfo::exists(env.path("configs/extract/labels/device.pdf")));

        QTest::mouseClick(ok, Qt::LeftButton); // the operator tries again
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
        QCOMPARE(sim.requests("/api/v1/configs").size(), 2);
        QVERIFY(QFileInfo::exists(env.path("configs/extract/labels/device.pdf")));
    }
};

NIMBREL_TEST_MAIN(TestFATTest)
#include "tst_fattest.moc"
