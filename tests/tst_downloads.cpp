#include "configmanager.h"
#include "datarows.h"
#include "flashsession.h"
#include "logcapture.h"
#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>

namespace {
const QString password = QStringLiteral("geheim-1234");
const QString noSignal = QStringLiteral("<no signal>");

// One device job against its own simulator.
struct Station
{
    TestEnvironment env;
    Simulator sim;
    FlashSession session;
    std::unique_ptr<ConfigManager> client;

    bool start(const QStringList& arguments = {})
    {
        if (!sim.start(arguments))
            return false;
        env.pointAt(sim.baseUrl());
        session.setArticle("4r0417");
        session.setImage("nimbrel-4r0417");
        session.setSwVersion("1.2.0-dev");
        client = std::make_unique<ConfigManager>();
        client->setFlashSession(&session);
        return true;
    }
    bool startWithSerial() { return start() && assignSerial(); }
    bool startWithImageLogin()
    {
        Settings::setValue("UserNameImage", "station");
        Settings::setValue("PasswordImage", password);
        return start({"--image-user", "station", "--image-password", password});
    }
    bool assignSerial()
    {
        QSignalSpy spy(client.get(), &ConfigManager::assingedSerialnummber);
        client->assignSerialNumber(session.article(), session.swVersion(), "G1234567");
        if (!spy.wait(10000))
            return false;
        session.setSerialNumber(spy.at(0).at(0).toString());
        return !session.serialNumber().isEmpty();
    }
    template <typename Signal> QString wait(Signal signal, const std::function<void()>& request)
    {
        QSignalSpy spy(client.get(), signal);
        request();
        if (spy.isEmpty() && !spy.wait(20000))
            return noSignal;
        return spy.size() == 1 ? spy.at(0).at(0).toString() : QStringLiteral("<%1 signals>").arg(spy.size());
    }
    QString download(const QString& kind)
    {
        if (kind == "config")
            return wait(&ConfigManager::downloadConfigComplete,
                        [this] { client->downloadConfig(session.article(), session.serialNumber()); });
        if (kind == "additionals")
            return wait(&ConfigManager::downloadAdditionalsComplete,
                        [this] { client->downloadAdditionals(session.article(), session.serialNumber()); });
        return wait(&ConfigManager::downloadImageComplete, [this] {
            client->doDownloadImage(session.image(), session.swVersion(), session.image());
        });
    }
    QString archive(const QString& kind) const
    {
        if (kind == "config")
            return env.path("configs/") + session.configArchiveName();
        if (kind == "additionals")
            return env.path("configs/") + session.additionalsArchiveName();
        return env.path("images/") + ConfigManager::imageArchiveName(session.image(), session.swVersion(),
                                                                     session.snapDate(),
                                                                     session.commitHash());
    }
    QString unpacked(const QString& kind) const
    {
        if (kind == "config")
            return env.path("configs/extract/labels/device.pdf");
        if (kind == "additionals")
            return env.path("configs/extract/additionals/README.txt");
        return env.path("images/nimbrel-4r0417-1.2.0-dev.img");
    }
    QString endpoint(const QString& kind) const
    {
        return kind == "config" ? "configs" : kind == "additionals" ? "additionals" : "image";
    }
    void shortenWaits(int inactivityMs, int extractMs = 30000)
    {
        StationTimings timings;
        timings.networkInactivityMs = inactivityMs;
        timings.archiveExtractTimeoutMs = extractMs;
        timings.imageExtractTimeoutMs = extractMs;
        StationTimings::setForTesting(timings);
    }
    // Nothing half-done may look like a finished download.
    void verifyNothingLeft(const QString& kind) const
    {
        QVERIFY2(!QFileInfo(archive(kind)).isFile(), qPrintable(archive(kind)));
        QVERIFY2(!QFileInfo::exists(archive(kind) + ".part"), qPrintable(archive(kind) + ".part"));
        QVERIFY2(!QFileInfo::exists(unpacked(kind)), qPrintable(unpacked(kind)));
    }
};

// Answers every connection with one fixed reply and closes it.
class FixedReplyServer : public QTcpServer
{
public:
    explicit FixedReplyServer(const QByteArray& reply) : reply(reply)
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (!socket->readAll().contains("\r\n\r\n") || socket->property("answered").toBool())
                        return;
                    socket->setProperty("answered", true);
                    socket->write(this->reply);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        listen(QHostAddress::LocalHost);
    }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(serverPort()); }

private:
    QByteArray reply;
};

void writeScript(const QString& path, const QByteArray& text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n" + text);
    file.close();
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}
} // namespace

class TestDownloads : public QObject
{
    Q_OBJECT
private slots:
    void imageNamesAndServerPaths_data();
    void imageNamesAndServerPaths();
    void tarArguments();
    void existingArchiveIsNotFetchedAgain_data();
    void existingArchiveIsNotFetchedAgain();
    void additionalsAreAlwaysFetchedAndUnpacked();
    void archiveErrorReply_data();
    void archiveErrorReply();
    void unwritableArchive_data();
    void unwritableArchive();
    void failedExtraction_data();
    void failedExtraction();
    void failedTransfer_data();
    void failedTransfer();
    void shortImageIsRefused_data();
    void shortImageIsRefused();
    void imageFollowsRedirects();
    void unsafeNamesAreRefused_data();
    void unsafeNamesAreRefused();
    void progressAndSecondImageDownload();
    void destroyedClientLeavesNoPartialImage();
};

void TestDownloads::imageNamesAndServerPaths_data()
{
    addColumns({"version", "fileName", "serverPath"});
    addRows(
        {{"release", "1.2.0-dev", "X-1.2.0-dev-img.tar.gz", "/cls/F/1.2.0/X-1.2.0-dev-img.tar.gz"},
         {"snapshot", "1.2.0-snap", "X-1.2.0-snap-D-H-img.tar.gz",
          "/cls/F/snapshots/X-1.2.0-snap-D-H-img.tar.gz"},
         {"snap without hyphen is a release", "1.2.0snap", "X-1.2.0snap-img.tar.gz",
          "/cls/F/1.2.0snap/X-1.2.0snap-img.tar.gz"},
         {"stage inside a word", "2.0.0-development", "X-2.0.0-development-img.tar.gz",
          "/cls/F/2.0.0elopment/X-2.0.0-development-img.tar.gz"},
         {"every stage", "3.1-qa-prod", "X-3.1-qa-prod-img.tar.gz", "/cls/F/3.1/X-3.1-qa-prod-img.tar.gz"}});
}

void TestDownloads::imageNamesAndServerPaths()
{
    QFETCH(QString, version);
    QFETCH(QString, fileName);
    QFETCH(QString, serverPath);
    QCOMPARE(ConfigManager::imageArchiveName("X", version, "D", "H"), fileName);
    QCOMPARE(ConfigManager::imageServerPath("X", version, "F", "D", "H"), serverPath);

    Station station;
    QVERIFY(station.startWithImageLogin());
    station.session.setImage("X");
    station.session.setSwVersion(version);
    station.session.setSnapDate("D");
    station.session.setCommitHash("H");
    QCOMPARE(station.wait(&ConfigManager::downloadImageComplete,
                          [&] { station.client->doDownloadImage("X", version, "F"); }),
             QString());
    QCOMPARE(station.sim.requests(serverPath).size(), 2); // Basic challenge, then with credentials
    QVERIFY(QFileInfo(station.env.path("images/") + fileName).isFile());
    QVERIFY(QFileInfo::exists(station.env.path("images/") + fileName.chopped(11) + ".img"));
}

void TestDownloads::tarArguments()
{
    Station station;
    QVERIFY(station.startWithSerial());
    const QString realTar = QStandardPaths::findExecutable("tar");
    QVERIFY(!realTar.isEmpty());
    QDir().mkpath(station.env.path("fakebin"));
    writeScript(station.env.path("fakebin/tar"),
                "printf '%s\\n' \"$@\" >> " + station.env.path("tar.args").toUtf8() + "\necho --- >> " +
                    station.env.path("tar.args").toUtf8() + "\nexec " + realTar.toUtf8() + " \"$@\"\n");
    qputenv("PATH", station.env.path("fakebin").toUtf8() + ':' + qgetenv("PATH"));

    QCOMPARE(station.download("config"), QString());
    QCOMPARE(station.download("image"), QString());
    QFile record(station.env.path("tar.args"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(record.readAll()).split('\n', Qt::SkipEmptyParts).join('|'),
             "-xvf|" + station.archive("config") + "|--strip|1|-C|" + station.env.path("configs/extract/") +
                 "|--no-same-owner|---|-xvf|" + station.archive("image") + "|-C|" +
                 station.env.path("images/") + "|---");
}

void TestDownloads::existingArchiveIsNotFetchedAgain_data()
{
    addColumns({"kind", "warning"});
    addRows(
        {{"config", "config", "Konfigurationsdatein sind bereits heruntergeladen!"}, {"image", "image", ""}});
}

void TestDownloads::existingArchiveIsNotFetchedAgain()
{
    QFETCH(QString, kind);
    QFETCH(QString, warning);
    Station station;
    QVERIFY(station.startWithSerial());
    station.sim.clearRequests();
    QDir().mkpath(QFileInfo(station.archive(kind)).path());
    QFile(station.archive(kind)).open(QIODevice::WriteOnly);
    QCOMPARE(station.download(kind), warning);
    QVERIFY(station.sim.requests().isEmpty());
    QVERIFY(!QFileInfo::exists(station.unpacked(kind)));
}

void TestDownloads::additionalsAreAlwaysFetchedAndUnpacked()
{
    Station station;
    QVERIFY(station.startWithSerial());
    QDir().mkpath(station.env.path("configs"));
    QFile stale(station.archive("additionals"));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("stale");
    stale.close();
    for (int round = 1; round <= 2; ++round) {
        QFile::remove(station.unpacked("additionals"));
        QCOMPARE(station.download("additionals"), QString());
        QVERIFY(QFileInfo::exists(station.unpacked("additionals")));
        QCOMPARE(station.sim.requests("/api/v1/additionals").size(), round);
    }
    QVERIFY(stale.open(QIODevice::ReadOnly));
    QVERIFY(stale.read(2) == "\x1f\x8b");
}

void TestDownloads::archiveErrorReply_data()
{
    addColumns({"kind", "fault", "warning"}); // warning empty: the reply's error text
    const QList<QStringList> replies{
        {"message", R"(status:404:{"message":"Keine Konfiguration"})", "Keine Konfiguration"},
        {"plain text", "status:500:kaputt", ""},
        {"empty object", "status:500:{}", ""},
        {"empty body", "status:500:", ""}};
    for (const QString kind : {"config", "additionals"}) {
        for (const QStringList& reply : replies)
            QTest::addRow("%s: %s", qPrintable(kind), qPrintable(reply[0])) << kind << reply[1] << reply[2];
    }
    addRows({{"image: message is not used", "image", R"(status:404:{"message":"Kein Image"})", ""}});
}

void TestDownloads::archiveErrorReply()
{
    QFETCH(QString, kind);
    QFETCH(QString, fault);
    QFETCH(QString, warning);
    Station station;
    QVERIFY(station.startWithSerial());
    QVERIFY(station.sim.setFault(station.endpoint(kind), fault));
    const QString shown = station.download(kind);
    if (warning.isEmpty())
        QVERIFY2(shown.contains("server replied"), qPrintable(shown));
    else
        QCOMPARE(shown, warning);
    station.verifyNothingLeft(kind);
}

void TestDownloads::unwritableArchive_data()
{
    addColumns({"kind", "obstacle"});
    for (const QString kind : {"config", "additionals", "image"}) {
        for (const QString obstacle : {"directory at the temporary name", "directory at the final name",
                                       "folder below a file", "disk full"})
            QTest::addRow("%s: %s", qPrintable(kind), qPrintable(obstacle)) << kind << obstacle;
    }
}

void TestDownloads::unwritableArchive()
{
    QFETCH(QString, kind);
    QFETCH(QString, obstacle);
    Station station;
    QVERIFY(station.startWithSerial());
    QString named = station.archive(kind);
    if (obstacle == "folder below a file") {
        QFile(station.env.path("blocker")).open(QIODevice::WriteOnly);
        Settings::setValue(kind == "image" ? "ImagePath" : "DeviceConfigPath",
                           station.env.path("blocker/sub/"));
        named = station.env.path("blocker/sub");
    } else if (obstacle == "directory at the final name") {
        QVERIFY(QDir().mkpath(named));
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(named).path()));
        if (obstacle == "disk full")
            QVERIFY(QFile::link("/dev/full", named + ".part"));
        else
            QVERIFY(QDir().mkpath(named + ".part"));
    }
    const QString warning = station.download(kind);
    QVERIFY2(warning.startsWith(obstacle == "folder below a file" ? "Verzeichnis kann nicht angelegt werden: "
                                                                  : "Datei kann nicht geschrieben werden: "),
             qPrintable(warning));
    QVERIFY2(warning.endsWith(named), qPrintable(warning));
    QVERIFY2(!QFileInfo(station.archive(kind)).isFile(), qPrintable(station.archive(kind)));
    QVERIFY(!QFileInfo::exists(station.unpacked(kind)));
    if (obstacle == "disk full") // the partial file goes, here the link to the full device
        QVERIFY(!QFileInfo::exists(station.archive(kind) + ".part"));
}

void TestDownloads::failedExtraction_data()
{
    addColumns({"kind", "tar"});
    for (const QString kind : {"config", "image"}) {
        for (const QString tar : {"missing", "broken archive", "crash", "past its limit"})
            QTest::addRow("%s: %s", qPrintable(kind), qPrintable(tar)) << kind << tar;
    }
}

void TestDownloads::failedExtraction()
{
    QFETCH(QString, kind);
    QFETCH(QString, tar);
    Station station;
    QVERIFY(station.startWithSerial());
    station.shortenWaits(60000, 500);
    const QString bin = station.env.path("fakebin");
    QDir().mkpath(bin);
    if (tar == "broken archive") // a close-delimited body cut short ends without an error; only tar notices
        QVERIFY(station.sim.setFault(station.endpoint(kind),
                                     kind == "image" ? "cutclose:300000" : "cutclose:200"));
    else if (tar == "crash")
        writeScript(bin + "/tar", "kill -SEGV $$\n");
    else if (tar == "past its limit")
        writeScript(bin + "/tar", "exec sleep 30\n");
    if (tar == "missing")
        qputenv("PATH", bin.toUtf8());
    else
        qputenv("PATH", bin.toUtf8() + ':' + qgetenv("PATH"));

    QCOMPARE(station.download(kind), "Entpacken fehlgeschlagen: " + station.archive(kind));
    station.verifyNothingLeft(kind);
}

void TestDownloads::failedTransfer_data()
{
    addColumns({"kind", "fault", "warningStart"});
    const QString silent = "Der Server antwortet nicht: ", noData = "Keine Daten vom Server erhalten: ";
    addRows({{"image: silent server", "image", "stall:5", silent},
             {"config: silent server", "config", "stall:5", silent},
             {"image: no data", "image", "status:200:", noData},
             {"config: no data", "config", "status:200:", noData},
             {"image: cut short", "image", "cut:300000", ""},
             {"image: not found", "image", "status:404:weg", ""}});
}

void TestDownloads::failedTransfer()
{
    QFETCH(QString, kind);
    QFETCH(QString, fault);
    QFETCH(QString, warningStart);
    Station station;
    QVERIFY(station.startWithImageLogin());
    QVERIFY(station.assignSerial());
    station.shortenWaits(500);
    QVERIFY(station.sim.setFault(station.endpoint(kind), fault));
    LogCapture log;
    const QString warning = station.download(kind);
    QVERIFY2(!warning.isEmpty() && warning != noSignal, qPrintable(warning));
    QVERIFY2(warning.startsWith(warningStart), qPrintable(warning));
    station.verifyNothingLeft(kind);
    // The image server's login sits in Qt's error texts; it must reach neither screen nor log.
    QVERIFY2(!warning.contains(password) && !warning.contains("station@"), qPrintable(warning));
    for (const QString& line : log.lines())
        QVERIFY2(!line.contains(password) && !line.contains("station@"), qPrintable(line));
}

void TestDownloads::shortImageIsRefused_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("warningStart");
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 4096\r\nConnection: close\r\n";
    QTest::newRow("connection closed early") << head + "\r\n" + QByteArray(1000, 'x') << QString();
    // Qt may end a short reply without an error; the byte count must catch it.
    QTest::newRow("reply ends cleanly but short")
        << head + "Transfer-Encoding: chunked\r\n\r\n3e8\r\n" + QByteArray(1000, 'x') + "\r\n0\r\n\r\n"
        << "Download unvollständig (1000 von 4096 Bytes): ";
}

void TestDownloads::shortImageIsRefused()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, warningStart);
    Station station;
    QVERIFY(station.start());
    FixedReplyServer server(reply);
    QVERIFY(server.isListening());
    Settings::setValue("ImageServerURL", server.baseUrl());
    const QString warning = station.download("image");
    QVERIFY2(!warning.isEmpty() && warning != noSignal, qPrintable(warning));
    QVERIFY2(warning.startsWith(warningStart), qPrintable(warning));
    station.verifyNothingLeft("image");
}

void TestDownloads::imageFollowsRedirects()
{
    Station station;
    QVERIFY(station.start());
    const QString path = "/cls/nimbrel-4r0417/1.2.0/nimbrel-4r0417-1.2.0-dev-img.tar.gz";
    FixedReplyServer server("HTTP/1.1 302 Found\r\nLocation: " + station.sim.baseUrl().chopped(1).toUtf8() +
                            path.toUtf8() + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    Settings::setValue("ImageServerURL", server.baseUrl());
    QCOMPARE(station.download("image"), QString());
    QCOMPARE(station.sim.requests(path).size(), 1);
    QVERIFY(QFileInfo::exists(station.unpacked("image")));
}

void TestDownloads::unsafeNamesAreRefused_data()
{
    addColumns({"kind", "field", "value"});
    const QList<QStringList> rows{
        {"config", "image", ".."},
        {"config", "swVersion", "."},
        {"config", "serialNumber", "a/b"},
        {"additionals", "image", "/etc"},
        {"additionals", "swVersion", ".."},
        {"additionals", "serialNumber", "."},
        {"image", "image", "."},
        {"image", "swVersion", "../x"},
        {"image", "snapDate", ".."},
        {"image", "commitHash", "a/b"},
    };
    for (const QStringList& row : rows)
        QTest::addRow("%s: %s %s", qPrintable(row[0]), qPrintable(row[1]), qPrintable(row[2]))
            << row[0] << row[1] << row[2];
}

void TestDownloads::unsafeNamesAreRefused()
{
    QFETCH(QString, kind);
    QFETCH(QString, field);
    QFETCH(QString, value);
    Station station;
    QVERIFY(station.start());
    station.session.setSerialNumber("2400001");
    station.session.setSwVersion("1.2.0-snap"); // snapshot names use date and commit hash
    const QMap<QString, void (FlashSession::*)(const QString&)> setters{
        {"image", &FlashSession::setImage},
        {"swVersion", &FlashSession::setSwVersion},
        {"serialNumber", &FlashSession::setSerialNumber},
        {"snapDate", &FlashSession::setSnapDate},
        {"commitHash", &FlashSession::setCommitHash}};
    (station.session.*setters.value(field))(value);
    QCOMPARE(station.download(kind), QStringLiteral("Unzulässiger Dateiname: \"%1\"").arg(value));
    QVERIFY(station.sim.requests().isEmpty());
    QVERIFY(!QFileInfo::exists(station.env.path("configs")));
    QVERIFY(!QFileInfo::exists(station.env.path("images")));
}

void TestDownloads::progressAndSecondImageDownload()
{
    Station station;
    QVERIFY(station.start({"--image-size", "256K"}));
    QVERIFY(station.sim.setFault("image", "slow:400000"));
    QSignalSpy progress(station.client.get(), &ConfigManager::imageProgress);
    QSignalSpy done(station.client.get(), &ConfigManager::downloadImageComplete);
    station.client->doDownloadImage("nimbrel-4r0417", "1.2.0-dev", "nimbrel-4r0417");
    QTRY_VERIFY(!progress.isEmpty());
    station.client->doDownloadImage("nimbrel-4r0417", "1.2.0-dev", "nimbrel-4r0417");
    QCOMPARE(done.size(), 1);
    QCOMPARE(done.at(0).at(0).toString(), QStringLiteral("Es läuft bereits ein Image-Download."));
    QVERIFY(done.wait(20000));
    QCOMPARE(done.at(1).at(0).toString(), QString());
    QCOMPARE(station.sim.requests().size(), 1);

    const qint64 size = QFileInfo(station.archive("image")).size();
    QVERIFY(progress.size() > 1);
    qint64 previous = 0;
    for (const QList<QVariant>& step : progress) {
        const ImageProgress p = step.at(0).value<ImageProgress>();
        QVERIFY(p.done > previous);
        QCOMPARE(p.total, size);
        previous = p.done;
    }
    QCOMPARE(previous, size);
}

void TestDownloads::destroyedClientLeavesNoPartialImage()
{
    Station station;
    QVERIFY(station.start({"--image-size", "256K"}));
    QVERIFY(station.sim.setFault("image", "slow:50000"));
    station.client->doDownloadImage("nimbrel-4r0417", "1.2.0-dev", "nimbrel-4r0417");
    QTRY_VERIFY(QFileInfo::exists(station.archive("image") + ".part"));
    station.client.reset();
    station.verifyNothingLeft("image");
}

NIMBREL_TEST_MAIN(TestDownloads)
#include "tst_downloads.moc"
