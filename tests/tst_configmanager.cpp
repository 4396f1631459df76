#include "configmanager.h"
#include "datarows.h"
#include "flashsession.h"
#include "logcapture.h"
#include "online.h"
#include "settings.h"
#include "stationtimings.h"
#include "testmain.h"
#include "tlsfront.h"

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

    Client() { reset(); }
    bool start(const QStringList& arguments = {}) { return goOnline(env, sim, arguments); }
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
                session.setSerialNumber(serial = spy.at(0).at(0).toString());
            return spy.at(0).at(warningAt).toString();
        };
        if (endpoint == "specs")
            return wait(&ConfigManager::specsReceived, [this] { client->requestSpecs(); });
        if (endpoint == "assignSerialNumber")
            return wait(
                &ConfigManager::assingedSerialnummber,
                [this] { client->assignSerialNumber(session.article(), session.swVersion(), "G1234567"); },
                1);
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
    // One simulator for the rows that need nothing of their own: starting one per row is slow.
    std::unique_ptr<Client> shared;

private slots:
    void contract();
    void download_data();
    void download();
    // Last: its shared sandbox must not live beside another test's.
    void replies_data();
    void replies();
    void cleanupTestCase() { shared.reset(); }
};

void TestConfigManager::contract()
{
    Client c;
    QVERIFY(c.start({"--authorization", "Bearer a+b/c=="}));
    Settings::setValue("Authorization", "Bearer a+b/c==");
    for (const QString endpoint :
         {"specs", "assignSerialNumber", "assignMacAddresses", "configs", "additionals"})
        QCOMPARE(c.run(endpoint), QString());
    QCOMPARE(c.session.serialNumber(), QStringLiteral("2400001"));
    QCOMPARE(Settings::instance()->specs().size(), 3);

    const QStringList expected{
        "GET /api/v1/specs ",
        "PUT /api/v1/assignSerialNumber article=4r0417&version=1.2.0-dev&emsSerialNumber=G1234567",
        "PUT /api/v1/assignMacAddresses article=4r0417&serialNumber=2400001",
        "GET /api/v1/configs article=4r0417&serialNumber=2400001 application/tar",
        "GET /api/v1/additionals article=4r0417&serialNumber=2400001 application/tar"};
    QStringList sent;
    for (const QJsonObject& request : c.sim.requests()) {
        const QString accept = Simulator::header(request, "accept");
        sent << request.value("method").toString() + ' ' + request.value("path").toString() + ' ' +
                    Simulator::queryString(request) + (accept.isEmpty() ? "" : ' ' + accept);
        QCOMPARE(Simulator::header(request, "Authorization"), QStringLiteral("Bearer a+b/c=="));
    }
    QCOMPARE(sent, expected);
    QCOMPARE(c.sim.requests().at(2).value("body").toString(),
             "{\n    \"eth0\": \"" + mac + "\",\n    \"eth1\": \"" + mac + "\"\n}\n");
    // Unpacked without the archive's top folder; the archives stay for the label step's clean-up.
    for (const QString& file :
         {c.archive("configs"), c.archive("additionals"), c.env.path("configs/extract/labels/device.pdf"),
          c.env.path("configs/extract/additionals/README.txt")})
        QVERIFY2(QFileInfo(file).isFile(), qPrintable(file));
    // An archive already there is not fetched again; the additionals always are.
    QCOMPARE(c.run("configs"), QStringLiteral("Konfigurationsdatein sind bereits heruntergeladen!"));
    QCOMPARE(c.run("additionals"), QString());
    QCOMPARE(c.sim.requests().size(), expected.size() + 1);
    // The server knows snapshots as dev builds; every character of the query arrives as sent.
    c.session.setArticle("A B+C&D=E#ä");
    c.session.setSwVersion("1.0-snap-snapfix+build 7");
    c.run("assignSerialNumber");
    QCOMPARE(Simulator::queryString(c.sim.requests().last()),
             "article=A B+C&D=E#ä&version=1.0-dev-devfix+build 7&emsSerialNumber=G1234567");
}

void TestConfigManager::download_data()
{
    addColumns({"server", "fault", "warning"});
    const QString config = requestTexts.value("configs") + ": ";
    const QString unwritable = "Datei kann nicht geschrieben werden: {archive}";
    addRows({{"refused", "closed", "", config + "Verbindung zum Server abgelehnt: 127.0.0.1"},
             {"no such host", "unknown", "", config + "Server nicht gefunden: nimbrel-station.invalid"},
             {"no answer", "sim", "stall:5", config + "Der Server antwortet nicht: 127.0.0.1"},
             {"cut", "sim", "cut:100", config + "Verbindung unterbrochen"},
             {"token refused", "sim", "token", "Nicht autorisiert"},
             {"token refused, no message", "sim", "status:401:",
              config + "Zugriff verweigert (HTTP 401), Authorization in den Einstellungen prüfen"},
             {"bad gateway", "nginx", "stopped", config + "Server antwortet mit 502 (Bad Gateway)"},
             {"expired", "nginx-expired", "",
              config + "Verbindung zum Server fehlgeschlagen: Zertifikat abgelaufen"},
             {"wrong host", "nginx-wronghost", "",
              config + "Verbindung zum Server fehlgeschlagen: Zertifikat gehört nicht zu localhost"},
             {"link planted at the temporary name", "disk", "link", ""},
             {"disk full", "disk", "full", unwritable},
             {"folder at the archive's name", "disk", "folder", unwritable},
             {"file where the folder should be", "disk", "blocked",
              "Verzeichnis kann nicht angelegt werden: {dir}"}});
}

// Every failure reaches the operator in German with what failed and why, never with the
// device's query or a credential; nothing is written but the archive at its place.
void TestConfigManager::download()
{
    const QString server = cell("server"), fault = cell("fault");
    Client c;
    QVERIFY(c.start({"--authorization", "geheim-token"}));
    Settings::setValue("Authorization", "geheim-token");
    QCOMPARE(c.run("assignSerialNumber"), QString());
    if (fault == "token")
        Settings::setValue("Authorization", "falsch-geheim");
    StationTimings timings;
    timings.networkInactivityMs = 1000;
    StationTimings::setForTesting(timings);
    const QString victim = c.env.path("outside.txt");
    QFile(victim).open(QIODevice::WriteOnly);
    QDir().mkpath(c.env.path("configs"));
    if (fault == "link")
        QVERIFY(QFile::link(victim, c.archive("configs") + ".part"));
    if (fault == "folder")
        QVERIFY(QDir().mkpath(c.archive("configs")));
    if (fault == "blocked")
        Settings::setValue("DeviceConfigPath", victim + "/sub/");
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
    } else if (server == "sim" && fault != "token") {
        QVERIFY(c.sim.setFault("configs", fault));
    }
    QUrl url(base);
    url.setUserInfo("station:url-geheim");
    Settings::setValue("EndpointURL", url.toString());
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, small{100, RLIM_INFINITY};
    std::signal(SIGXFSZ, SIG_IGN);
    if (fault == "full")
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    LogCapture log;
    const QString shown = c.run("configs");
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    qunsetenv("SSL_CERT_FILE");
    const QString warning =
        cell("warning").replace("{archive}", c.archive("configs")).replace("{dir}", victim + "/sub");
    QVERIFY2(warning.isEmpty() ? shown.isEmpty() : shown.startsWith(warning), qPrintable(shown));
    for (const QString secret : {"url-geheim", "geheim-token", "falsch-geheim", "serialNumber="})
        QVERIFY2(!shown.contains(secret) && !log.contains(secret), qPrintable(secret));
    QVERIFY2(!shown.contains('?'), qPrintable(shown));
    if (server.startsWith("nginx-")) // the maintainer learns which certificate and why
        QVERIFY(log.contains("TLS certificate error:") && log.contains("| issuer:"));
    QCOMPARE(QFileInfo(victim).size(), 0); // never written through a planted link
    QVERIFY(!QFileInfo::exists(c.archive("configs") + ".part"));
    QCOMPARE(QFileInfo(c.archive("configs")).isFile(), warning.isEmpty());
}

void TestConfigManager::replies_data()
{
    // result: the serial handed out, or the article list in force as "article|version|image;..."
    addColumns({"endpoint", "fault", "warning", "result"});
    const QString kept = "alt|0.1|alt-image", invalid = "{request}: ungültige Antwort des Servers";
    const QString serial = "assignSerialNumber", unpack = "Entpacken fehlgeschlagen: {archive}";
    const QString refused = "{request}: Server antwortet mit %1, eine Weiterleitung wird nicht befolgt";
    QList<QStringList> statuses{
        {"304", "status:304:", "{request}: Server antwortet mit 304 (Not Modified)"},
        {"500 without message", R"(status:500:{"message":7})",
         "{request}: Server antwortet mit 500 (Internal Server Error)"},
        {"422 with message", R"(status:422:{"message":"Auftrag unbekannt"})", "Auftrag unbekannt"}};
    for (const QString code :
         {"301 (Moved Permanently)", "302 (Found)", "307 (Temporary Redirect)", "308 (Permanent Redirect)"})
        statuses.append({code.left(3), "redirect:" + code.left(3), refused.arg(code)});
    for (const QString& endpoint : requestTexts.keys()) {
        for (const QStringList& status : statuses)
            QTest::addRow("%s %s", qPrintable(endpoint), qPrintable(status.at(0)))
                << endpoint << status.at(1) << status.at(2) << (endpoint == serial ? "" : kept);
    }
    addRows(
        {{"specs: not a list", "specs", R"(status:200:{"article":"A"})", invalid, kept},
         {"specs: empty body", "specs", "status:200:", invalid, kept},
         {"specs: members missing or not text", "specs",
          R"(status:200:[{"article":"A","software_version":5},{"image":"I"},7])", "", "A||;||I;||"},
         {"specs: empty list", "specs", "status:200:[]", "", ""},
         {"macs: a proxy's page", "assignMacAddresses", "status:200:<html>Anmeldung</html>", invalid, kept},
         {"config: not a tar.gz", "configs", "status:200:kein Archiv", unpack, kept},
         {"config: empty", "configs", "status:200:", invalid, kept},
         {"additionals: not a tar.gz", "additionals", "status:200:kein Archiv", unpack, kept},
         {"serial: number", serial, R"(status:200:{"serialNumber":1234567})", "", "1234567"},
         {"serial: digits keep their zeros", serial, R"(status:200:{"serialNumber":"0012345"})", "",
          "0012345"},
         {"serial: largest exact number", serial, R"(status:200:{"serialNumber":9007199254740991})", "",
          "9007199254740991"},
         {"serial: beyond exact numbers", serial, R"(status:200:{"serialNumber":9007199254740993})", noSerial,
          ""},
         {"serial: zero", serial, R"(status:200:{"serialNumber":0})", noSerial, ""},
         {"serial: zeros as text", serial, R"(status:200:{"serialNumber":"000"})", noSerial, ""},
         {"serial: fraction", serial, R"(status:200:{"serialNumber":12.5})", noSerial, ""},
         {"serial: not digits", serial, R"(status:200:{"serialNumber":"12a"})", noSerial, ""},
         {"serial: empty text", serial, R"(status:200:{"serialNumber":""})", noSerial, ""},
         {"serial: null", serial, R"(status:200:{"serialNumber":null})", noSerial, ""},
         {"serial: no number", serial, "status:200:{}", noSerial, ""}});
}

// Only a 2xx with a usable body counts; the state the request would change stays as it was.
void TestConfigManager::replies()
{
    const QString endpoint = cell("endpoint");
    if (!shared && !(shared = std::make_unique<Client>())->start())
        QFAIL("simulator did not start");
    Client& c = *shared;
    c.reset();
    if (endpoint != "assignSerialNumber")
        QCOMPARE(c.run("assignSerialNumber"), QString());
    Settings::instance()->setSpecs({{"alt", "0.1", "alt-image"}});
    QVERIFY(c.sim.setFault(endpoint, cell("fault"), 1)); // a client that followed a redirect would succeed
    const QString warning = cell("warning")
                                .replace("{request}", requestTexts.value(endpoint))
                                .replace("{archive}", c.archive(endpoint));
    QCOMPARE(c.run(endpoint), warning);
    QStringList specs;
    for (const SpecEntry& entry : Settings::instance()->specs())
        specs << entry.article + '|' + entry.softwareVersion + '|' + entry.image;
    QCOMPARE(endpoint == "assignSerialNumber" ? c.serial : specs.join(';'), cell("result"));
    if (endpoint == "specs")
        QCOMPARE(ConfigManager::lastSpecsOutcome().warning, warning);
    QCOMPARE(c.sim.state().value("macs").toObject().size(), 0);
    QVERIFY(!QFileInfo::exists(c.archive(endpoint)));
    QVERIFY(!QFileInfo::exists(c.env.path("configs/extract")));
}

NIMBREL_TEST_MAIN(TestConfigManager)
#include "tst_configmanager.moc"
