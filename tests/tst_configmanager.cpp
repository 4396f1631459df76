#include "configmanager.h"
#include "datarows.h"
#include "flashsession.h"
#include "logcapture.h"
#include "online.h"
#include "settings.h"
#include "simulator.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QFile>
#include <QJsonArray>

namespace {
const QString noSerial = QStringLiteral("Keine gültige Seriennummer vom Server erhalten!");
const QString errorText = QStringLiteral("<error text>"); // the reply's own error text is expected

QStringList specTexts(const QList<SpecEntry>& specs)
{
    QStringList texts;
    for (const SpecEntry& entry : specs)
        texts << entry.article + QLatin1Char('|') + entry.softwareVersion + QLatin1Char('|') + entry.image;
    return texts;
}

// An HTTP error without a usable message must show Qt's text for it, never an empty warning.
void verifyWarning(const QString& warning, const QString& expected)
{
    if (expected == errorText) {
        QVERIFY2(warning.contains(QLatin1String("server replied")), qPrintable(warning));
    } else {
        QCOMPARE(warning, expected);
    }
}

QString assignSerial(ConfigManager& client, const QString& order = QStringLiteral("G1234567"))
{
    QSignalSpy spy(&client, &ConfigManager::assingedSerialnummber);
    client.assignSerialNumber(QStringLiteral("4r0417"), QStringLiteral("1.2.0-dev"), order);
    if (!spy.wait(10000))
        return QString();
    return spy.at(0).at(0).toString();
}
} // namespace

class TestConfigManager : public QObject
{
    Q_OBJECT
private slots:
    void contract_data();
    void contract();
    void queryValues_data();
    void queryValues();
    void serialNumberReply_data();
    void serialNumberReply();
    void macAddressReply_data();
    void macAddressReply();
    void specReply_data();
    void specReply();
};

void TestConfigManager::contract_data()
{
    QTest::addColumn<QString>("authorization");
    QTest::newRow("no authorization configured") << QString();
    QTest::newRow("scheme and token") << QStringLiteral("Bearer a+b/c==");
}

void TestConfigManager::contract()
{
    QFETCH(QString, authorization);
    TestEnvironment env;
    Simulator sim;
    QStringList arguments{"--image-user", "station", "--image-password", "geheim-1234"};
    if (!authorization.isEmpty())
        arguments << "--authorization" << authorization;
    QVERIFY(goOnline(env, sim, arguments));
    Settings::setValue("Authorization", authorization);
    Settings::setValue("UserNameImage", "station");
    Settings::setValue("PasswordImage", "geheim-1234");

    FlashSession session;
    session.setArticle("4r0417");
    session.setImage("nimbrel-4r0417");
    session.setSwVersion("1.2.0-dev");
    ConfigManager client;
    client.setFlashSession(&session);

    client.requestSpecs();
    QTRY_COMPARE(Settings::instance()->specs().size(), 3);
    session.setSerialNumber(assignSerial(client));
    QCOMPARE(session.serialNumber(), QStringLiteral("2400001"));

    // Each request reports success by an empty warning.
    const auto succeeds = [&client](auto signal, const std::function<void()>& request) {
        QSignalSpy spy(&client, signal);
        request();
        return spy.wait(10000) && spy.at(0).at(0).toString().isEmpty();
    };
    QVERIFY(succeeds(&ConfigManager::ResponseAssignMacs, [&] {
        client.assignMacAddresses("4r0417", "2400001", "00:0a:14:00:00:01", "00:0a:14:00:00:02");
    }));
    QVERIFY(succeeds(&ConfigManager::downloadConfigComplete,
                     [&] { client.downloadConfig("4r0417", "2400001"); }));
    QVERIFY(succeeds(&ConfigManager::downloadAdditionalsComplete,
                     [&] { client.downloadAdditionals("4r0417", "2400001"); }));
    QVERIFY(succeeds(&ConfigManager::downloadImageComplete,
                     [&] { client.doDownloadImage("nimbrel-4r0417", "1.2.0-dev", "nimbrel-4r0417"); }));

    struct Row
    {
        QString method, path, query;
        bool archive;
    };
    const QList<Row> expected{
        {"GET", "/api/v1/specs", "", false},
        {"PUT", "/api/v1/assignSerialNumber", "article=4r0417&version=1.2.0-dev&emsSerialNumber=G1234567",
         false},
        {"PUT", "/api/v1/assignMacAddresses", "article=4r0417&serialNumber=2400001", false},
        {"GET", "/api/v1/configs", "article=4r0417&serialNumber=2400001", true},
        {"GET", "/api/v1/additionals", "article=4r0417&serialNumber=2400001", true},
    };
    const QList<QJsonObject> requests = sim.requests();
    QVERIFY(requests.size() >= expected.size() + 1);
    for (int i = 0; i < expected.size(); ++i) {
        const QJsonObject& request = requests.at(i);
        QCOMPARE(request.value("method").toString(), expected.at(i).method);
        QCOMPARE(request.value("path").toString(), expected.at(i).path);
        QCOMPARE(Simulator::queryString(request), expected.at(i).query);
        bool present = false;
        QCOMPARE(Simulator::header(request, "Authorization", &present), authorization);
        QVERIFY(present);
        QCOMPARE(Simulator::header(request, "accept", &present),
                 expected.at(i).archive ? "application/tar" : "");
        QCOMPARE(present, expected.at(i).archive);
        if (expected.at(i).method == "PUT" && expected.at(i).path.endsWith("assignSerialNumber"))
            QCOMPARE(request.value("body").toString(), QString());
    }
    QCOMPARE(
        requests.at(2).value("body").toString(),
        QStringLiteral("{\n    \"eth0\": \"00:0a:14:00:00:01\",\n    \"eth1\": \"00:0a:14:00:00:02\"\n}\n"));

    // The image server gets its Basic credentials, never the configuration server's header.
    const QList<QJsonObject> imageRequests = requests.mid(expected.size());
    for (const QJsonObject& request : imageRequests) {
        QCOMPARE(request.value("method").toString(), QStringLiteral("GET"));
        QCOMPARE(request.value("path").toString(),
                 QStringLiteral("/cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz"));
        QCOMPARE(Simulator::queryString(request), QString());
        QCOMPARE(Simulator::header(request, "accept"), QStringLiteral("application/tar"));
        const QString sent = Simulator::header(request, "Authorization");
        QVERIFY2(sent.isEmpty() || sent.startsWith("Basic "), qPrintable(sent));
    }
    QCOMPARE(Simulator::header(imageRequests.last(), "Authorization"),
             QStringLiteral("Basic ") + QByteArray("station:geheim-1234").toBase64());

    for (const char* file :
         {"configs/nimbrel-4r0417-1.2.0-dev-2400001.tar.gz",
          "configs/nimbrel-4r0417-1.2.0-dev-2400001-additionals.tar.gz", "configs/extract/labels/device.pdf",
          "configs/extract/additionals/README.txt", "images/nimbrel-4r0417-1.2.0-dev-img.tar.gz"})
        QVERIFY2(QFile::exists(env.path(file)), file);
    QCOMPARE(QFileInfo(env.path("images/nimbrel-4r0417-1.2.0-dev.img")).size(), qint64(1 << 20));
}

void TestConfigManager::queryValues_data()
{
    addColumns({"article", "version", "sent"});
    addRows({{"snapshot is sent as dev", "4r0417", "2.0.1-snap", "2.0.1-dev"},
             {"release", "4r0417", "2.0.1-qa", "2.0.1-qa"},
             {"snapshot without hyphen", "4r0417", "1.2.0snap", "1.2.0dev"},
             {"every occurrence", "4r0417", "1.0-snap-snapfix", "1.0-dev-devfix"},
             {"characters kept", "A B+C&D=E#ä", "1.0+build 7", "1.0+build 7"}});
}

void TestConfigManager::queryValues()
{
    QFETCH(QString, article);
    QFETCH(QString, version);
    QFETCH(QString, sent);
    TestEnvironment env;
    Simulator sim;
    QVERIFY(goOnline(env, sim));
    ConfigManager client;
    QSignalSpy spy(&client, &ConfigManager::assingedSerialnummber);
    client.assignSerialNumber(article, version, "G1234567");
    QVERIFY(spy.wait(10000));
    const QJsonObject request = sim.requests("/api/v1/assignSerialNumber").value(0);
    QCOMPARE(request.value("query").toArray().size(), 3);
    QCOMPARE(Simulator::queryString(request),
             "article=" + article + "&version=" + sent + "&emsSerialNumber=G1234567");
}

void TestConfigManager::serialNumberReply_data()
{
    addColumns({"fault", "serial", "warning"});
    addRows({{"assigned by the server", "", "2400001", ""},
             {"number", R"(status:200:{"serialNumber":1234567})", "1234567", ""},
             {"digit string", R"(status:200:{"serialNumber":"1234567"})", "1234567", ""},
             {"missing", "status:200:{}", "", noSerial},
             {"null", R"(status:200:{"serialNumber":null})", "", noSerial},
             {"fraction", R"(status:200:{"serialNumber":12.5})", "", noSerial},
             {"negative", R"(status:200:{"serialNumber":-3})", "", noSerial},
             {"not digits", R"(status:200:{"serialNumber":"12a"})", "", noSerial},
             {"empty string", R"(status:200:{"serialNumber":""})", "", noSerial},
             {"boolean", R"(status:200:{"serialNumber":true})", "", noSerial},
             {"array body", "status:200:[1234567]", "", noSerial},
             {"empty body", "status:200:", "", noSerial},
             {"error with message", R"(status:422:{"message":"Auftrag unbekannt"})", "", "Auftrag unbekannt"},
             {"error, empty body", "status:500:", "", errorText},
             {"error, empty object", "status:500:{}", "", errorText},
             {"error, message not text", R"(status:500:{"message":7})", "", errorText},
             {"error, empty message", R"(status:500:{"message":""})", "", errorText},
             {"error, plain text", "status:503:Wartung", "", errorText}});
}

void TestConfigManager::serialNumberReply()
{
    QFETCH(QString, fault);
    QFETCH(QString, serial);
    QFETCH(QString, warning);
    TestEnvironment env;
    Simulator sim;
    QVERIFY(goOnline(env, sim));
    if (!fault.isEmpty())
        QVERIFY(sim.setFault("assignSerialNumber", fault));
    ConfigManager client;
    LogCapture log;
    QSignalSpy spy(&client, &ConfigManager::assingedSerialnummber);
    client.assignSerialNumber("4r0417", "1.2.0-dev", "G1234567");
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), serial);
    verifyWarning(spy.at(0).at(1).toString(), warning);
    int error = -1;
    if (warning == errorText) { // the error and Qt's text for it are logged too
        error = log.indexOf("ERROR!");
        QVERIFY(error >= 0);
        QVERIFY(log.indexOf(spy.at(0).at(1).toString(), error + 1) > error);
    }
    if (fault.endsWith(QLatin1Char(':'))) // an empty body
        QVERIFY(log.indexOf("Need to fill JSON data", error + 1) > error);
}

void TestConfigManager::macAddressReply_data()
{
    addColumns({"fault", "serialNumber", "eth0", "warning"});
    const QString mac = "00:0a:14:00:00:01";
    addRows({{"registered", "", "2400001", mac, ""},
             {"success body is ignored", "status:200:kein JSON", "2400001", mac, ""},
             {"server refuses an empty MAC", "", "2400001", "", "MAC-Adresse für eth0 fehlt oder ist leer"},
             {"unknown serial number", "", "999", mac, "Seriennummer 999 unbekannt"},
             {"error, empty body", "status:500:", "2400001", mac, errorText},
             {"error, empty object", "status:400:{}", "2400001", mac, errorText}});
}

void TestConfigManager::macAddressReply()
{
    QFETCH(QString, fault);
    QFETCH(QString, serialNumber);
    QFETCH(QString, eth0);
    QFETCH(QString, warning);
    TestEnvironment env;
    Simulator sim;
    QVERIFY(goOnline(env, sim));
    ConfigManager client;
    QCOMPARE(assignSerial(client), QStringLiteral("2400001"));
    if (!fault.isEmpty())
        QVERIFY(sim.setFault("assignMacAddresses", fault));
    QSignalSpy spy(&client, &ConfigManager::ResponseAssignMacs);
    client.assignMacAddresses("4r0417", serialNumber, eth0, "00:0a:14:00:00:02");
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.size(), 1);
    verifyWarning(spy.at(0).at(0).toString(), warning);
    // Both members always go out, eth0 first, also when one is empty.
    const QString body = sim.requests("/api/v1/assignMacAddresses").value(0).value("body").toString();
    QVERIFY2(body.indexOf("\"eth0\": \"" + eth0 + "\"") >= 0 &&
                 body.indexOf("\"eth0\"") < body.indexOf("\"eth1\""),
             qPrintable(body));
}

void TestConfigManager::specReply_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QStringList>("specs");
    const QStringList kept{"alt|0.1|alt-image"};
    QTest::newRow("server list") << "" << true
                                 << QStringList{"4r0417|1.2.0-dev|nimbrel-4r0417",
                                                "4r0417|0.9.1-dev|nimbrel-4r0417",
                                                "4r0418|2.0.0-qa|nimbrel-4r0418"};
    QTest::newRow("missing and non-text members")
        << "status:200:[{\"article\":\"A\",\"software_version\":5},{\"image\":\"I\"},7]" << true
        << QStringList{"A||", "||I", "||"};
    QTest::newRow("empty list") << "status:200:[]" << true << QStringList();
    QTest::newRow("not an array") << "status:200:{\"article\":\"A\"}" << true << QStringList();
    QTest::newRow("empty body") << "status:200:" << true << QStringList();
    QTest::newRow("http error keeps the list") << "status:500:[]" << true << kept;
    QTest::newRow("network error keeps the list") << "" << false << kept;
}

void TestConfigManager::specReply()
{
    QFETCH(QString, fault);
    QFETCH(bool, reachable);
    QFETCH(QStringList, specs);
    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    if (reachable)
        env.pointAt(sim.baseUrl()); // otherwise the closed loopback port of the sandbox
    if (!fault.isEmpty())
        QVERIFY(sim.setFault("specs", fault));
    Settings::instance()->setSpecs({{"alt", "0.1", "alt-image"}});
    LogCapture log;
    ConfigManager client;
    client.requestSpecs();
    if (specs == QStringList{"alt|0.1|alt-image"}) {
        QTRY_VERIFY(log.contains("ERROR!"));
        QCOMPARE(specTexts(Settings::instance()->specs()), specs);
    } else {
        QTRY_COMPARE(specTexts(Settings::instance()->specs()), specs);
    }
}

NIMBREL_TEST_MAIN(TestConfigManager)
#include "tst_configmanager.moc"
