#include "configmanager.h"
#include "fattest.h"
#include "flashsession.h"
#include "messagebox.h"
#include "online.h"
#include "settings.h"
#include "testmain.h"
#include "testsoftware.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

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

// The FAT dialog over the server's article list, for one job.
struct Bench
{
    TestEnvironment env;
    Simulator sim;
    FlashSession session;
    std::unique_ptr<FATTest> dialog;

    FATTest& open(const QList<SpecEntry>& list = specs)
    {
        env.settings()->setSpecs(list);
        dialog = std::make_unique<FATTest>();
        dialog->setFlashSession(&session);
        dialog->show();
        return *dialog;
    }
    QComboBox* box(const char* name) { return child<QComboBox>(*dialog, name); }
    void enter(const QString& barcode)
    {
        child<QLineEdit>(*dialog, "txtEMSSerialNumber")->setText(barcode);
        QTest::mouseClick(child<QPushButton>(*dialog, "btnOk"), Qt::LeftButton);
    }
};
} // namespace

class TestFATTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { MessageBox::takeShownForTesting(); }

    void listsComeFromTheServersArticles()
    {
        Bench bench;
        bench.open();
        QCOMPARE(items(bench.box("cbArticle")), (QStringList{"4r0417", "4R0417", "4r0418"}));
        QCOMPARE(bench.box("cbArticle")->currentIndex(), 0);
        // Articles compare without case, versions are listed once.
        QCOMPARE(items(bench.box("cbSWVersion")), (QStringList{"1.2.0-dev", "0.9.1-dev", "1.3.0-qa"}));
    }

    void preselectionFromTheJob_data()
    {
        QTest::addColumn<QString>("article");
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("articleIndex");
        QTest::addColumn<QString>("selectedVersion");
        QTest::newRow("exact") << "4r0418" << QString("2.0.0-qa") << 2 << "2.0.0-qa";
        QTest::newRow("letter case differs, last match wins")
            << "4r0417" << QString("0.9.1-DEV") << 1 << "0.9.1-dev";
        QTest::newRow("unknown article keeps the first") << "9x9999" << QString("1.0") << 0 << "1.2.0-dev";
    }

    void preselectionFromTheJob()
    {
        QFETCH(QString, article);
        QFETCH(QString, version);
        QFETCH(int, articleIndex);
        QFETCH(QString, selectedVersion);
        Bench bench;
        bench.session.setArticle(article);
        bench.session.setSwVersion(version);
        bench.open();
        QCOMPARE(bench.box("cbArticle")->currentIndex(), articleIndex);
        QCOMPARE(bench.box("cbSWVersion")->currentText(), selectedVersion);
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
        Bench bench;
        QVERIFY(goOnline(bench.env, bench.sim));
        bench.session.setOrderNumber(QStringLiteral("G0000000"));
        FATTest& dialog = bench.open();
        bench.box("cbSWVersion")->setCurrentIndex(1);
        bench.enter(barcode);

        const FlashSession& session = bench.session;
        if (!accepted) {
            QCOMPARE(MessageBox::takeShownTextsForTesting(),
                     QStringList{"Bitte Barcode oder SW-Version auswählen!"});
            QCOMPARE(session.orderNumber(), QStringLiteral("G0000000"));
            QVERIFY(dialog.isVisible());
            QVERIFY(bench.sim.requests("/api/v1/assignSerialNumber").isEmpty());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
        const QList<QJsonObject> requests = bench.sim.requests("/api/v1/assignSerialNumber");
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
        Bench bench;
        bench.open({}); // empty spec list: nothing to choose
        bench.enter("G1234567");
        QCOMPARE(MessageBox::takeShownTextsForTesting(),
                 QStringList{"Bitte Barcode oder SW-Version auswählen!"});
        QVERIFY(bench.session.orderNumber().isEmpty());
    }

    void serverRefusalKeepsTheDialogOpen()
    {
        Bench bench;
        QVERIFY(goOnline(bench.env, bench.sim));
        QVERIFY(bench.sim.setFault("assignSerialNumber", "status:409:{\"message\":\"Auftrag gesperrt\"}", 1));
        FATTest& dialog = bench.open();
        QPushButton* ok = child<QPushButton>(dialog, "btnOk");
        bench.enter("G1234567");
        QVERIFY(!ok->isEnabled()); // no second request while one is under way
        QTRY_VERIFY_WITH_TIMEOUT(ok->isEnabled(), 20000);

        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList{"Auftrag gesperrt"});
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.findChildren<TestSoftware*>().isEmpty());
        QVERIFY(bench.session.serialNumber().isEmpty());

        QTest::mouseClick(ok, Qt::LeftButton); // the operator tries again
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
        QCOMPARE(bench.sim.requests("/api/v1/assignSerialNumber").size(), 2);
    }

    void serialNumberReply_data()
    {
        QTest::addColumn<QString>("serialNumber");
        QTest::addColumn<QString>("warning");
        QTest::newRow("no serial, no warning: never an empty box") << QString() << QString();
        QTest::newRow("serial with a warning still opens the tests")
            << "2400007" << QString("bereits vergeben");
    }

    void serialNumberReply()
    {
        QFETCH(QString, serialNumber);
        QFETCH(QString, warning);
        Bench bench;
        QVERIFY(goOnline(bench.env, bench.sim));
        FATTest& dialog = bench.open();
        bench.session.setArticle(QStringLiteral("4r0417"));
        // a number the server really handed out, so the configuration can be fetched for it
        const QString serial = serialNumber.isEmpty() ? QString() : handOutSerial(bench.sim);
        QVERIFY(QMetaObject::invokeMethod(&dialog, "onSerialNumberAssigned", Q_ARG(QString, serial),
                                          Q_ARG(QString, warning)));
        if (serial.isEmpty()) {
            const QStringList shown = MessageBox::takeShownTextsForTesting();
            QCOMPARE(shown.size(), 1);
            QVERIFY(!shown.first().trimmed().isEmpty());
            QVERIFY(dialog.isVisible());
        } else {
            QCOMPARE(bench.session.serialNumber(), serial);
            QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
            QVERIFY(dialog.findChild<TestSoftware*>()->isVisible());
            QVERIFY(MessageBox::takeShownTextsForTesting().isEmpty());
        }
    }

    // The labels of a re-tested device come from its own configuration, fetched anew: the
    // last close removed the device's files, and what is left belongs to another device.
    void retestFetchesTheDevicesConfiguration()
    {
        Bench bench;
        QVERIFY(goOnline(bench.env, bench.sim));
        const QString serial = handOutSerial(bench.sim);
        writeFile(bench.env.path("configs/extract/labels/device.pdf"), "(Seriennummer: 2399999) Tj");
        writeFile(bench.env.path("configs/extract/etc/hostname"), "nimbrel-2399999\n");
        bench.session.setImage(QStringLiteral("nimbrel-4r0417"));
        FATTest& dialog = bench.open();
        bench.enter("G1234567");
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);

        QCOMPARE(bench.session.serialNumber(), serial);
        const QList<QJsonObject> configs = bench.sim.requests("/api/v1/configs");
        QCOMPARE(configs.size(), 1);
        QCOMPARE(Simulator::queryString(configs[0]), "article=4r0417&serialNumber=" + serial);
        QVERIFY(readFile(bench.env.path("configs/extract/labels/device.pdf"))
                    .contains("(Seriennummer: " + serial.toLatin1() + ") Tj"));
        QCOMPARE(readFile(bench.env.path("configs/extract/etc/hostname")),
                 "nimbrel-" + serial.toLatin1() + "\n");
        QVERIFY(QFileInfo::exists(bench.env.path("configs/extract/labels/package.pdf")));
        QVERIFY(dialog.findChild<TestSoftware*>()->isVisible());
        QVERIFY(MessageBox::takeShownTextsForTesting().isEmpty());
    }

    void configurationFailureKeepsTheDialogOpen()
    {
        Bench bench;
        QVERIFY(goOnline(bench.env, bench.sim));
        QVERIFY(bench.sim.setFault("configs", "status:500:{\"message\":\"Konfiguration fehlt\"}", 1));
        FATTest& dialog = bench.open();
        QPushButton* ok = child<QPushButton>(dialog, "btnOk");
        bench.enter("G1234567");
        QTRY_VERIFY_WITH_TIMEOUT(ok->isEnabled(), 20000);

        QCOMPARE(MessageBox::takeShownTextsForTesting(), QStringList{"Konfiguration fehlt"});
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.findChildren<TestSoftware*>().isEmpty());
        QVERIFY(!QFileInfo::exists(bench.env.path("configs/extract/labels/device.pdf")));

        QTest::mouseClick(ok, Qt::LeftButton); // the operator tries again
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 20000);
        QCOMPARE(bench.sim.requests("/api/v1/configs").size(), 2);
        QVERIFY(QFileInfo::exists(bench.env.path("configs/extract/labels/device.pdf")));
    }
};

NIMBREL_TEST_MAIN(TestFATTest)
#include "tst_fattest.moc"
