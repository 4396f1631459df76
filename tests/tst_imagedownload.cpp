#include "datarows.h"
#include "imagedownload.h"
#include "logcapture.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"
#include "tlsfront.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <unistd.h>

namespace {
const QString archiveName = QStringLiteral("nimbrel-4r0417-1.2.0-dev-img.tar.gz");
const QString imageName = QStringLiteral("nimbrel-4r0417-1.2.0-dev.img");
const QString password = QStringLiteral("Prüf:ung"); // the server compares UTF-8 bytes

// A .tar.gz made by Python's tarfile from "f:name=text", "r:name=<random bytes>",
// "l:name>target" (symbolic link) and "c:name" (character device), joined by ";".
QByteArray tarGz(const QString& members)
{
    static const char* const script = R"(
import io, os, sys, tarfile
out = io.BytesIO()
with tarfile.open(fileobj=out, mode="w:gz") as t:
    for m in filter(None, sys.argv[1].split(";")):
        kind, rest = m[0], m[2:]
        name, _, value = rest.partition(">" if kind == "l" else "=")
        i = tarfile.TarInfo(name)
        data = os.urandom(int(value)) if kind == "r" else value.encode()
        if kind == "l":
            i.type, i.linkname, data = tarfile.SYMTYPE, value, b""
        elif kind == "c":
            i.type, i.devmajor, i.devminor, data = tarfile.CHRTYPE, 1, 3, b""
        i.size = len(data)
        t.addfile(i, io.BytesIO(data))
sys.stdout.buffer.write(out.getvalue())
)";
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(script), members});
    python.waitForFinished();
    return python.readAllStandardOutput();
}

// Answers every request with one fixed reply; keepOpen: the connection then stays silent.
class FixedReplyServer : public QTcpServer
{
public:
    FixedReplyServer(const QByteArray& reply, bool keepOpen)
    {
        connect(this, &QTcpServer::newConnection, this, [this, reply, keepOpen] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [socket, reply, keepOpen] {
                    if (!socket->readAll().contains("\r\n\r\n") || socket->property("answered").toBool())
                        return;
                    socket->setProperty("answered", true);
                    socket->write(reply);
                    if (!keepOpen)
                        socket->disconnectFromHost();
                });
            }
        });
        listen(QHostAddress::LocalHost);
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/cls/a").arg(serverPort())); }
};

// Children of the station named tar: an ended step leaves none.
int tarChildren()
{
    int count = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!pid.toInt() || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> rest = text.mid(text.lastIndexOf(')') + 2).split(' ');
        count += text.contains("(tar)") && rest.value(1).toInt() == ::getpid();
    }
    return count;
}

// One image step against whatever server a test points it at.
struct Step
{
    TestEnvironment env;
    Simulator sim;
    ImageDownload download;
    ImageDownload::Request request;
    LogCapture log;

    Step()
    {
        request.folder = env.path("images/");
        request.archiveName = archiveName;
        request.imageName = imageName;
        request.url = QUrl("http://127.0.0.1:9/cls/closed"); // a request would be refused at once
        request.userName = "station";
        request.password = password;
        QDir().mkpath(request.folder);
    }
    bool startSim(const QString& imageSize)
    {
        if (!sim.start({"--image-size", imageSize, "--image-user", "station", "--image-password", password}))
            return false;
        request.url = QUrl(sim.baseUrl() + "cls/nimbrel-4r0417/1.2.0/" + archiveName);
        return true;
    }
    ~Step() { qunsetenv("SSL_CERT_FILE"); }
    // nginx with TLS (its CA trusted through SSL_CERT_FILE) in front of the simulator
    bool behind(TlsFront& front, TlsFront::Kind kind)
    {
        if (!front.start(sim.baseUrl(), {"--password", password}))
            return false;
        qputenv("SSL_CERT_FILE", front.caFile().toLocal8Bit());
        request.url = QUrl(front.baseUrl(kind) + request.url.path().mid(1));
        return true;
    }
    QString run()
    {
        QSignalSpy spy(&download, &ImageDownload::finished);
        download.start(request);
        if (spy.isEmpty() && !spy.wait(60000))
            return "<no signal>";
        return spy.size() == 1 ? spy.at(0).at(0).toString() : QStringLiteral("<%1 signals>").arg(spy.size());
    }
    QString file(const QString& name) const
    {
        return request.folder + QString(name).replace("ARCHIVE", archiveName).replace("IMG", imageName);
    }
    QByteArray read(const QString& name) const
    {
        QFile f(file(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("-");
    }
    void write(const QString& name, const QByteArray& bytes) const
    {
        QDir().mkpath(QFileInfo(file(name)).absolutePath());
        QFile f(file(name));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }
    QStringList entries() const
    {
        return QDir(request.folder)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    QByteArray curl(const QUrl& url) const // the archive as the server holds it
    {
        QProcess curl;
        curl.start("curl", {"-sf", "-K", "-", url.toString()}); // the password as UTF-8, whatever the locale
        curl.write(QString("user = \"station:" + password + "\"\n").toUtf8());
        curl.closeWriteChannel();
        curl.waitForFinished();
        return curl.readAllStandardOutput();
    }
    void shortenInactivity(int ms)
    {
        StationTimings timings;
        timings.networkInactivityMs = ms;
        StationTimings::setForTesting(timings);
    }
};
} // namespace

class TestImageDownload : public QObject
{
    Q_OBJECT
private slots:
    void wholeOrAbsent_data();
    void wholeOrAbsent();
    void preparedImageIsTakenAsIs();
    void singleReply_data();
    void singleReply();
    void cutAtEachStage_data();
    void cutAtEachStage();
    void resumed_data();
    void resumed();
    void certificates_data();
    void certificates();
    void cancelKeepsThePartForTheNextAttempt();
    void windowAnswersDuringTheStep();
};

void TestImageDownload::wholeOrAbsent_data()
{
    // planted before the step ("name=content;", ARCHIVE and IMG stand for this job's names),
    // the archive's members, the warning (@: the archive), then files expected afterwards ("-": absent)
    addColumns({"planted", "members", "warning", "after"});
    const QString other = "nimbrel-4r0417-0.9.1-dev";
    addRows({
        {"half image under an archive without its marker", "IMG=IMA", "f:IMG=IMAGE", "", "IMG=IMAGE"},
        {"image and a marker of another unpack", "IMG=IMA;ARCHIVE.unpacked=archive-size=1", "f:IMG=IMAGE", "",
         "IMG=IMAGE"},
        {"archive without the image", "", "f:other.img=X", "Image-Archiv enthält kein Image: @",
         "ARCHIVE=-;IMG=-;other.img=-"},
        {"image only as a link", "", "f:other.img=X;l:IMG>other.img", "Image-Archiv enthält kein Image: @",
         "ARCHIVE=-;IMG=-"},
        {"archive carrying another archive's names", other + "-img.tar.gz=OLD;" + other + ".img=OLD",
         "f:IMG=IMAGE;f:" + other + "-img.tar.gz=NEW;f:" + other + ".img=NEW", "",
         "IMG=IMAGE;" + other + "-img.tar.gz=OLD;" + other + ".img=OLD"},
        {"leftover unpack folder", ".ARCHIVE.unpack-x1Y2z3/IMG=OLD", "f:IMG=IMAGE", "",
         "IMG=IMAGE;.ARCHIVE.unpack-x1Y2z3=-"},
    });
}

void TestImageDownload::wholeOrAbsent()
{
    QFETCH(QString, planted);
    QFETCH(QString, members);
    QFETCH(QString, warning);
    QFETCH(QString, after);
    Step step;
    step.write("ARCHIVE", tarGz(QString(members).replace("IMG", imageName)));
    for (const QString& entry : planted.split(';', Qt::SkipEmptyParts))
        step.write(entry.section('=', 0, 0), entry.section('=', 1).toUtf8());
    QCOMPARE(step.run(), QString(warning).replace("@", step.file("ARCHIVE")));
    for (const QString& entry : after.split(';'))
        QCOMPARE(step.read(entry.section('=', 0, 0)), entry.section('=', 1).toUtf8());
    QVERIFY2(step.entries().filter(".unpack-").isEmpty(), qPrintable(step.entries().join(' ')));
}

void TestImageDownload::preparedImageIsTakenAsIs()
{
    Step step;
    step.write("ARCHIVE", tarGz("f:" + imageName + "=IMAGE"));
    QCOMPARE(step.run(), QString());
    // Same size, other bytes: a prepared image is not unpacked again, so this is never read.
    step.write("ARCHIVE", QByteArray(int(QFileInfo(step.file("ARCHIVE")).size()), 'x'));
    step.write("IMG", "EGAMI");
    QCOMPARE(step.run(), QString());
    QCOMPARE(step.read("IMG"), QByteArray("EGAMI"));
}

void TestImageDownload::singleReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("keepOpen");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QStringList>("left");
    const auto redirect = [](const char* status) {
        return "HTTP/1.1 " + QByteArray(status) + "\r\nLocation: SIM\r\nContent-Length: 0\r\n\r\n";
    };
    const QString notFollowed =
        "Image-Download: Server antwortet mit %1, eine Weiterleitung wird nicht befolgt";
    const auto ok = [](const QByteArray& body, qint64 length = -1) {
        return "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: " +
               QByteArray::number(length < 0 ? body.size() : length) + "\r\n\r\n" + body;
    };
    for (const char* status :
         {"301 Moved Permanently", "302 Found", "307 Temporary Redirect", "308 Permanent Redirect"})
        QTest::newRow(status) << redirect(status) << false
                              << notFollowed.arg(
                                     QString(status).replace(QRegularExpression(" (.*)"), " (\\1)"))
                              << QStringList();
    QTest::newRow("304") << QByteArray("HTTP/1.1 304 Not Modified\r\n\r\n") << false
                         << "Image-Download: Server antwortet mit 304 (Not Modified)" << QStringList();
    QTest::newRow("401") << QByteArray("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\n"
                                       "Content-Length: 0\r\n\r\n")
                         << false << "Image-Download: Benutzername oder Passwort des Image-Servers falsch"
                         << QStringList();
    QTest::newRow("2xx, not a tar.gz")
        << ok("hallo") << false << "Entpacken fehlgeschlagen: @" << QStringList();
    QTest::newRow("link out") << ok(tarGz("l:evil>/etc/passwd")) << false << "Unzulässiger Archivinhalt: evil"
                              << QStringList();
    QTest::newRow("device") << ok(tarGz("c:dev")) << false << "Unzulässiger Archivinhalt: dev"
                            << QStringList();
    const QByteArray start = tarGz("r:" + imageName + "=300000").left(60000);
    QTest::newRow("silent mid-body") << ok(start, 400000) << true
                                     << "Image-Download: Der Server antwortet nicht: 127.0.0.1"
                                     << QStringList{archiveName + ".part", archiveName + ".part.validator"};
}

void TestImageDownload::singleReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, keepOpen);
    QFETCH(QString, warning);
    QFETCH(QStringList, left);
    Step step;
    QVERIFY(step.startSim("64K"));
    // A redirect leads to a server that would hand out the image over plain http.
    FixedReplyServer server(reply.replace("SIM", step.request.url.toEncoded()), keepOpen);
    step.request.url = server.url();
    step.shortenInactivity(1500);
    QCOMPARE(step.run(), QString(warning).replace("@", step.file("ARCHIVE")));
    QCOMPARE(step.entries(), left);
    if (keepOpen)
        QCOMPARE(QFileInfo(step.file("ARCHIVE.part")).size(), 60000);
}

void TestImageDownload::cutAtEachStage_data()
{
    addColumns({"fault", "warning", "partKept"});
    addRows({{"silent before the headers", "stall:5", "Image-Download: Der Server antwortet nicht: 127.0.0.1",
              ""},
             {"headers only", "cut:0", "Image-Download: Verbindung unterbrochen nach 0 Bytes von 2,1 MB", ""},
             {"inside the first member's header", "cut:300",
              "Image-Download: Verbindung unterbrochen nach 300 Bytes von 2,1 MB", "yes"},
             {"inside the image", "cut:1500000",
              "Image-Download: Verbindung unterbrochen nach 1,5 MB von 2,1 MB", "yes"},
             {"close-delimited, cut short", "cutclose:1500000", "Entpacken fehlgeschlagen: @", ""}});
}

void TestImageDownload::cutAtEachStage()
{
    QFETCH(QString, fault);
    QFETCH(QString, warning);
    QFETCH(QString, partKept);
    Step step;
    QVERIFY(step.startSim("2M"));
    step.shortenInactivity(1500);
    QVERIFY(step.sim.setFault("image", fault));
    QCOMPARE(step.run(), QString(warning).replace("@", step.file("ARCHIVE")));
    const QStringList part{archiveName + ".part", archiveName + ".part.validator"};
    QCOMPARE(step.entries(), partKept.isEmpty() ? QStringList() : part);
    QCOMPARE(tarChildren(), 0);
}

void TestImageDownload::resumed_data()
{
    QTest::addColumn<bool>("nginx");
    QTest::addColumn<bool>("changed");
    QTest::newRow("simulator") << false << false;
    QTest::newRow("simulator, archive changed on the server") << false << true;
    QTest::newRow("nginx") << true << false;
    QTest::newRow("nginx, archive changed on the server") << true << true;
}

void TestImageDownload::resumed()
{
    QFETCH(bool, nginx);
    QFETCH(bool, changed);
    Step step;
    QVERIFY(step.startSim("3M"));
    TlsFront front;
    if (nginx && !step.behind(front, TlsFront::Good)) {
        QVERIFY2(!front.skipReason().isEmpty(), "nginx did not start where it can run");
        QSKIP(qPrintable(front.skipReason()));
    }
    QVERIFY(step.sim.setFault("image", "cut:1000000", 1));
    QVERIFY(step.run().startsWith("Image-Download: Verbindung unterbrochen nach"));
    const qint64 part = QFileInfo(step.file("ARCHIVE.part")).size();
    QVERIFY(part > 0);
    if (changed)
        QVERIFY(step.sim.changeImages());
    step.sim.clearRequests();
    step.log.clear();
    QCOMPARE(step.run(), QString());

    const QJsonObject last = step.sim.requests().last();
    QCOMPARE(Simulator::header(last, "Range"), "bytes=" + QString::number(part) + "-");
    QVERIFY(!Simulator::header(last, "If-Range").isEmpty());
    QCOMPARE(step.log.contains("downloading it from the start"), changed);
    QCOMPARE(step.read("ARCHIVE"), step.curl(QUrl(step.sim.baseUrl() + step.request.url.path().mid(1))));
    QCOMPARE(QFileInfo(step.file("IMG")).size(), 3 << 20);
    QCOMPARE(step.entries(), QStringList({archiveName, archiveName + ".unpacked", imageName}));
}

void TestImageDownload::certificates_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("untrusted") << int(TlsFront::Untrusted)
                               << "Zertifikat nicht vertrauenswürdig (Zertifikat für";
    QTest::newRow("expired") << int(TlsFront::Expired) << "Zertifikat abgelaufen oder noch nicht gültig (";
    QTest::newRow("wrong host") << int(TlsFront::WrongHost) << "Zertifikat gehört nicht zu localhost (";
}

void TestImageDownload::certificates()
{
    QFETCH(int, kind);
    QFETCH(QString, reason);
    Step step;
    QVERIFY(step.startSim("64K"));
    TlsFront front;
    if (!step.behind(front, TlsFront::Kind(kind))) {
        QVERIFY2(!front.skipReason().isEmpty(), "nginx did not start where it can run");
        QSKIP(qPrintable(front.skipReason()));
    }
    const QString warning = step.run();
    QVERIFY2(warning.startsWith("Image-Download: Verbindung zum Server fehlgeschlagen: " + reason),
             qPrintable(warning));
    QCOMPARE(step.log.lines().filter("TLS certificate error:").size(), 1);
    QVERIFY(step.log.lines().filter("| issuer:").first().contains("Nimbrel Test"));
    QCOMPARE(step.entries(), QStringList());
}

void TestImageDownload::cancelKeepsThePartForTheNextAttempt()
{
    Step step;
    QVERIFY(step.startSim("8M"));
    QVERIFY(step.sim.setFault("image", "slow:2000000", 1));
    QSignalSpy finished(&step.download, &ImageDownload::finished);
    QSignalSpy progress(&step.download, &ImageDownload::progress);
    step.download.start(step.request);
    QTRY_VERIFY_WITH_TIMEOUT(
        !progress.isEmpty() && progress.last().at(0).value<ImageProgress>().unpacked > 500000, 20000);
    step.download.cancel();
    QTRY_COMPARE(tarChildren(), 0);
    QTRY_VERIFY(step.entries().filter(".unpack-").isEmpty());
    const qint64 part = QFileInfo(step.file("ARCHIVE.part")).size();
    QVERIFY(part > 500000);
    QCOMPARE(finished.size(), 0);
    step.sim.clearRequests();
    QCOMPARE(step.run(), QString());
    QCOMPARE(Simulator::header(step.sim.requests().last(), "Range"), "bytes=" + QString::number(part) + "-");
    QCOMPARE(QFileInfo(step.file("IMG")).size(), 8 << 20);
}

void TestImageDownload::windowAnswersDuringTheStep()
{
    Step step;
    QVERIFY(step.startSim("48M"));
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        longest = qMax(longest, clock.elapsed() - last);
        last = clock.elapsed();
    });
    ticks.start(5);
    clock.start();
    QCOMPARE(step.run(), QString());
    QVERIFY2(longest < 100, qPrintable(QString::number(longest)));
    QCOMPARE(QFileInfo(step.file("IMG")).size(), 48 << 20);
}

NIMBREL_TEST_MAIN(TestImageDownload)
#include "tst_imagedownload.moc"
