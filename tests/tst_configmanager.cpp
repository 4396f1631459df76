#include "configmanager.h"
#include "datarows.h"
#include "flashsession.h"
#include "logcapture.h"
#include "online.h"
#include "settings.h"
#include "stationtimings.h"
#include "testmain.h"
#include "tlsfront.h"

#include <QJsonArray>
#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {
const QString noSerial = QStringLiteral("Keine gültige Seriennummer vom Server erhalten!");
const QString mac = QStringLiteral("02:4e:49:4d:00:01");
const QMap<QString, QString> requestTexts{
    {"specs", "Artikelliste konnte nicht geladen werden"},
    {"assignSerialNumber", "Seriennummer konnte nicht angefordert werden"},
    {"assignMacAddresses", "MAC-Adressen wurden nicht registriert"},
    {"configs", "Konfiguration konnte nicht heruntergeladen werden"},
    {"additionals", "Zusatzdateien konnten nicht heruntergeladen werden"}};

// A client with its own job against a simulator of its own.
struct Client
{
    TestEnvironment env;
    Simulator sim;
    FlashSession session;
    std::unique_ptr<ConfigManager> client;
    QString serial;

    bool start(const QStringList& arguments = {})
    {
        reset();
        return goOnline(env, sim, arguments);
    }
    // A new job and client; the simulator forgets what it handed out.
    void reset()
    {
        if (sim.port() > 0)
            sim.reset();
        QDir(env.path("configs")).removeRecursively();
        session = FlashSession();
        session.setArticle("4r0417");
        session.setImage("nimbrel-4r0417");
        session.setSwVersion("1.2.0-dev");
        serial.clear();
        client = std::make_unique<ConfigManager>();
        client->setFlashSession(&session);
    }
    QString archive(const QString& endpoint) const
    {
        return env.path("configs/" + (endpoint == "configs" ? session.configArchiveName()
                                                            : session.additionalsArchiveName()));
    }
    // Sends one request of the endpoint and returns the warning that ended it.
    QString run(const QString& endpoint)
    {
        const auto wait = [this](auto signal, const std::function<void()>& send, int warningAt = 0) {
            QSignalSpy spy(client.get(), signal);
            send();
            if ((spy.isEmpty() && !spy.wait(15000)) || spy.size() != 1)
                return QStringLiteral("<no single signal>");
            if (warningAt == 1)
                serial = spy.at(0).at(0).toString();
            return spy.at(0).at(warningAt).toString();
        };
        if (endpoint == "specs")
            return wait(&ConfigManager::specsReceived, [this] { client->requestSpecs(); });
        if (endpoint == "assignSerialNumber") {
            const QString warning = wait(&ConfigManager::assingedSerialnummber, [this] {
                client->assignSerialNumber(session.article(), session.swVersion(), "G1234567");
            }, 1);
            session.setSerialNumber(serial);
            return warning;
        }
        if (endpoint == "assignMacAddresses")
            return wait(&ConfigManager::ResponseAssignMacs,
                        [this] { client->assignMacAddresses("4r0417", session.serialNumber(), mac, mac); });
        if (endpoint == "configs")
            return wait(&ConfigManager::downloadConfigComplete,
                        [this] { client->downloadConfig("4r0417", session.serialNumber()); });
        return wait(&ConfigManager::downloadAdditionalsComplete,
                    [this] { client->downloadAdditionals("4r0417", session.serialNumber()); });
    }
};
} // namespace

class TestConfigManager : public QObject
{
    Q_OBJECT
    std::unique_ptr<Client> shared;
    // One simulator for the rows that need nothing of their own: starting one per row is slow.
    Client& fresh()
    {
        if (!shared && !(shared = std::make_unique<Client>())->start())
            qFatal("simulator did not start");
        shared->reset();
        return *shared;
    }

private slots:
    void init()
    {
        // Another test's sandbox must not live beside the shared one.
        if (!QStringList{"queryValues", "statusIsJudged", "serialNumbers", "specList"}.contains(
                QTest::currentTestFunction()))
            shared.reset();
    }
    void cleanupTestCase() { shared.reset(); }
    void contract();
    void queryValues_data();
    void queryValues();
    void statusIsJudged_data();
    void statusIsJudged();
    void serialNumbers_data();
    void serialNumbers();
    void specList_data();
    void specList();
    void networkFailures_data();
    void networkFailures();
    void archiveCannotBeWritten_data();
    void archiveCannotBeWritten();
};

void TestConfigManager::contract()
{
    Client c;
    QVERIFY(c.start({"--authorization", "Bearer a+b/c=="}));
    Settings::setValue("Authorization", "Bearer a+b/c==");
    for (const QString endpoint : {"specs", "assignSerialNumber", "assignMacAddresses", "configs", "additionals"})
        QCOMPARE(c.run(endpoint), QString());
    QCOMPARE(c.session.serialNumber(), QStringLiteral("2400001"));
    QCOMPARE(Settings::instance()->specs().size(), 3);

    const QStringList expected{"GET /api/v1/specs ", "PUT /api/v1/assignSerialNumber "
                               "article=4r0417&version=1.2.0-dev&emsSerialNumber=G1234567",
                               "PUT /api/v1/assignMacAddresses article=4r0417&serialNumber=2400001",
                               "GET /api/v1/configs article=4r0417&serialNumber=2400001 application/tar",
                               "GET /api/v1/additionals article=4r0417&serialNumber=2400001 application/tar"};
    const QList<QJsonObject> requests = c.sim.requests();
    QCOMPARE(requests.size(), expected.size());
    for (int i = 0; i < requests.size(); ++i) {
        const QJsonObject& request = requests.at(i);
        const QString accept = Simulator::header(request, "accept");
        QCOMPARE(QString(request.value("method").toString() + ' ' + request.value("path").toString() + ' ' +
                         Simulator::queryString(request) + (accept.isEmpty() ? "" : ' ' + accept)),
                 expected.at(i));
        QCOMPARE(Simulator::header(request, "Authorization"), QStringLiteral("Bearer a+b/c=="));
    }
    QCOMPARE(requests.at(2).value("body").toString(),
             "{\n    \"eth0\": \"" + mac + "\",\n    \"eth1\": \"" + mac + "\"\n}\n");
    // Unpacked without the archive's top folder; the archives stay for the label step's clean-up.
    for (const QString& file : {c.archive("configs"), c.archive("additionals"), c.env.path("configs/extract/labels/device.pdf"),
                               c.env.path("configs/extract/additionals/README.txt")})
        QVERIFY2(QFileInfo(file).isFile(), qPrintable(file));
    // An archive already there is not fetched again; the additionals always are.
    QCOMPARE(c.run("configs"), QStringLiteral("Konfigurationsdatein sind bereits heruntergeladen!"));
    QCOMPARE(c.run("additionals"), QString());
    QCOMPARE(c.sim.requests().size(), expected.size() + 1);
}

void TestConfigManager::queryValues_data()
{
    addColumns({"article", "version", "sent"});
    addRows({{"snapshot is sent as dev", "4r0417", "2.0.1-snap", "2.0.1-dev"},
             {"release", "4r0417", "2.0.1-qa", "2.0.1-qa"},
             {"every occurrence", "4r0417", "1.0-snap-snapfix", "1.0-dev-devfix"},
             {"characters kept", "A B+C&D=E#ä", "1.0+build 7", "1.0+build 7"}});
}

void TestConfigManager::queryValues()
{
    QFETCH(QString, article);
    QFETCH(QString, version);
    QFETCH(QString, sent);
    Client& c = fresh();
    c.session.setArticle(article);
    c.session.setSwVersion(version);
    c.run("assignSerialNumber");
    QCOMPARE(Simulator::queryString(c.sim.requests().value(0)),
             "article=" + article + "&version=" + sent + "&emsSerialNumber=G1234567");
}

void TestConfigManager::statusIsJudged_data()
{
    addColumns({"endpoint", "fault", "warning"});
    const QString refused = "{request}: Server antwortet mit %1, eine Weiterleitung wird nicht befolgt";
    for (const QString& endpoint : requestTexts.keys()) {
        const QByteArray name = endpoint.toLatin1();
        for (const QString code : {"301 (Moved Permanently)", "302 (Found)", "307 (Temporary Redirect)",
                                   "308 (Permanent Redirect)"})
            QTest::addRow("%s %s", name.data(), qPrintable(code.left(3)))
                << endpoint << "redirect:" + code.left(3) << refused.arg(code);
        QTest::addRow("%s 304", name.data()) << endpoint << "status:304:" << "{request}: Server antwortet mit 304 (Not Modified)";
        QTest::addRow("%s 500 without message", name.data()) << endpoint << R"(status:500:{"message":7})"
                                                  << "{request}: Server antwortet mit 500 (Internal Server Error)";
        QTest::addRow("%s 422 with message", name.data()) << endpoint << R"(status:422:{"message":"Auftrag unbekannt"})"
                                                 << "Auftrag unbekannt";
    }
    addRows({{"specs: not a list", "specs", R"(status:200:{"article":"A"})", "{request}: ungültige Antwort des Servers"},
             {"specs: empty body", "specs", "status:200:", "{request}: ungültige Antwort des Servers"},
             {"serial: no number", "assignSerialNumber", "status:200:{}", noSerial},
             {"macs: a proxy's page", "assignMacAddresses", "status:200:<html>Anmeldung</html>",
              "{request}: ungültige Antwort des Servers"},
             {"config: not a tar.gz", "configs", "status:200:kein Archiv", "Entpacken fehlgeschlagen: {archive}"},
             {"config: empty", "configs", "status:200:", "{request}: ungültige Antwort des Servers"},
             {"additionals: not a tar.gz", "additionals", "status:200:kein Archiv",
              "Entpacken fehlgeschlagen: {archive}"}});
}

// Only a 2xx with a usable body counts; the state the request would change stays as it was.
void TestConfigManager::statusIsJudged()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, fault);
    QFETCH(QString, warning);
    Client& c = fresh();
    if (endpoint != "assignSerialNumber")
        QCOMPARE(c.run("assignSerialNumber"), QString());
    const QList<SpecEntry> kept{{"alt", "0.1", "alt-image"}};
    Settings::instance()->setSpecs(kept);
    QVERIFY(c.sim.setFault(endpoint, fault, 1)); // a client that followed a redirect would succeed
    warning.replace("{request}", requestTexts.value(endpoint)).replace("{archive}", c.archive(endpoint));
    QCOMPARE(c.run(endpoint), warning);
    QCOMPARE(Settings::instance()->specs(), kept);
    if (endpoint == "assignSerialNumber")
        QCOMPARE(c.serial, QString());
    QCOMPARE(c.sim.state().value("macs").toObject().size(), 0);
    if (endpoint == "configs" || endpoint == "additionals") {
        QVERIFY(!QFileInfo::exists(c.archive(endpoint)));
        QVERIFY(!QFileInfo::exists(c.env.path("configs/extract")));
    }
}

void TestConfigManager::serialNumbers_data()
{
    addColumns({"sent", "serial"});
    addRows({{"number", "1234567", "1234567"},
             {"digits keep their zeros", "\"0012345\"", "0012345"},
             {"largest exact number", "9007199254740991", "9007199254740991"},
             {"beyond exact numbers", "9007199254740993", ""},
             {"zero", "0", ""},
             {"zeros as text", "\"000\"", ""},
             {"fraction", "12.5", ""},
             {"negative", "-3", ""},
             {"not digits", "\"12a\"", ""},
             {"empty text", "\"\"", ""},
             {"boolean", "true", ""},
             {"null", "null", ""}});
}

void TestConfigManager::serialNumbers()
{
    QFETCH(QString, sent);
    QFETCH(QString, serial);
    Client& c = fresh();
    QVERIFY(c.sim.setFault("assignSerialNumber", "status:200:{\"serialNumber\":" + sent + "}"));
    QCOMPARE(c.run("assignSerialNumber"), serial.isEmpty() ? noSerial : QString());
    QCOMPARE(c.serial, serial);
}

void TestConfigManager::specList_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QStringList>("specs");
    QTest::newRow("members missing or not text")
        << R"([{"article":"A","software_version":5},{"image":"I"},7])" << QStringList{"A||", "||I", "||"};
    QTest::newRow("empty list") << "[]" << QStringList();
}

void TestConfigManager::specList()
{
    QFETCH(QString, reply);
    QFETCH(QStringList, specs);
    Client& c = fresh();
    Settings::instance()->setSpecs({{"alt", "0.1", "alt-image"}});
    QVERIFY(c.sim.setFault("specs", "status:200:" + reply));
    QCOMPARE(c.run("specs"), QString());
    QStringList got;
    for (const SpecEntry& entry : Settings::instance()->specs())
        got << entry.article + '|' + entry.softwareVersion + '|' + entry.image;
    QCOMPARE(got, specs);
    QCOMPARE(ConfigManager::lastSpecsOutcome().answered, true);
}

void TestConfigManager::networkFailures_data()
{
    addColumns({"server", "fault", "warning"});
    const QString config = requestTexts.value("configs") + ": ";
    addRows({{"refused", "closed", "", config + "Verbindung zum Server abgelehnt: 127.0.0.1"},
             {"no such host", "unknown", "", config + "Server nicht gefunden: nimbrel-station.invalid"},
             {"no answer", "sim", "stall:5", config + "Der Server antwortet nicht: 127.0.0.1"},
             {"cut", "sim", "cut:100", config + "Verbindung unterbrochen"},
             {"token refused", "sim", "token", "Nicht autorisiert"},
             {"token refused, no message", "sim", "status:401:", config +
              "Zugriff verweigert (HTTP 401), Authorization in den Einstellungen prüfen"},
             {"bad gateway", "nginx", "stopped", config + "Server antwortet mit 502 (Bad Gateway)"},
             {"untrusted CA", "nginx-untrusted", "", config +
              "Verbindung zum Server fehlgeschlagen: Zertifikat nicht vertrauenswürdig"},
             {"expired", "nginx-expired", "", config + "Verbindung zum Server fehlgeschlagen: Zertifikat abgelaufen"},
             {"wrong host", "nginx-wronghost", "", config +
              "Verbindung zum Server fehlgeschlagen: Zertifikat gehört nicht zu localhost"}});
}

// Every failure reaches the operator in German with what failed and why, never with the
// device's query or a credential.
void TestConfigManager::networkFailures()
{
    QFETCH(QString, server);
    QFETCH(QString, fault);
    QFETCH(QString, warning);
    Client c;
    QVERIFY(c.start({"--authorization", "geheim-token"}));
    c.session.setSerialNumber("2400001");
    Settings::setValue("Authorization", fault == "token" ? "falsch-geheim" : "geheim-token");
    if (server == "sim" && fault != "token")
        QCOMPARE(c.run("assignSerialNumber"), QString());
    StationTimings timings;
    timings.networkInactivityMs = 1000;
    StationTimings::setForTesting(timings);
    TlsFront front;
    QString base = c.sim.baseUrl();
    if (server.startsWith("nginx")) {
        if (!front.start(c.sim.baseUrl()) && !front.skipReason().isEmpty())
            QSKIP(qPrintable(front.skipReason()));
        const QMap<QString, TlsFront::Kind> kinds{{"nginx", TlsFront::Good},
                                                  {"nginx-untrusted", TlsFront::Untrusted},
                                                  {"nginx-expired", TlsFront::Expired},
                                                  {"nginx-wronghost", TlsFront::WrongHost}};
        base = front.baseUrl(kinds.value(server));
        qputenv("SSL_CERT_FILE", front.caFile().toLocal8Bit());
        if (fault == "stopped")
            c.sim.stop();
    } else if (server == "closed" || server == "unknown") {
        base = server == "closed" ? "http://127.0.0.1:9/" : "http://nimbrel-station.invalid:9/";
    } else if (fault != "token") {
        QVERIFY(c.sim.setFault("configs", fault));
    }
    QUrl url(base);
    url.setUserInfo("station:url-geheim");
    Settings::setValue("EndpointURL", url.toString());
    LogCapture log;
    const QString shown = c.run("configs");
    qunsetenv("SSL_CERT_FILE");
    QVERIFY2(shown.startsWith(warning), qPrintable(shown));
    for (const QString secret : {"url-geheim", "geheim-token", "falsch-geheim", "serialNumber="})
        QVERIFY2(!shown.contains(secret) && !log.contains(secret), qPrintable(secret));
    QVERIFY2(!shown.contains('?'), qPrintable(shown));
    if (server.startsWith("nginx-")) // the maintainer learns which certificate and why
        QVERIFY(log.contains("TLS certificate error:") && log.contains("| issuer:"));
    QVERIFY(!QFileInfo::exists(c.archive("configs")));
}

void TestConfigManager::archiveCannotBeWritten_data()
{
    addColumns({"obstacle", "warning"});
    addRows({{"link planted at the temporary name", "link", ""},
             {"disk full", "full", "Datei kann nicht geschrieben werden: {archive}"},
             {"folder at the archive's name", "folder", "Datei kann nicht geschrieben werden: {archive}"},
             {"file where the folder should be", "blocked", "Verzeichnis kann nicht angelegt werden: {dir}"}});
}

void TestConfigManager::archiveCannotBeWritten()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, warning);
    Client c;
    QVERIFY(c.start());
    QCOMPARE(c.run("assignSerialNumber"), QString());
    const QString victim = c.env.path("outside.txt");
    QFile(victim).open(QIODevice::WriteOnly);
    QDir().mkpath(c.env.path("configs"));
    if (obstacle == "link")
        QVERIFY(QFile::link(victim, c.archive("configs") + ".part"));
    if (obstacle == "folder")
        QVERIFY(QDir().mkpath(c.archive("configs")));
    if (obstacle == "blocked")
        Settings::setValue("DeviceConfigPath", victim + "/sub/");
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, small{100, RLIM_INFINITY};
    std::signal(SIGXFSZ, SIG_IGN);
    if (obstacle == "full")
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString shown = c.run("configs");
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    QCOMPARE(shown, warning.replace("{archive}", c.archive("configs")).replace("{dir}", victim + "/sub"));
    QCOMPARE(QFileInfo(victim).size(), 0); // never written through a planted link
    QVERIFY(!QFileInfo::exists(c.archive("configs") + ".part"));
    QCOMPARE(QFileInfo(c.archive("configs")).isFile(), warning.isEmpty());
}

NIMBREL_TEST_MAIN(TestConfigManager)
#include "tst_configmanager.moc"
