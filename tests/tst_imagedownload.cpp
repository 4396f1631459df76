#include "datarows.h"
#include "imagedownload.h"
#include "logcapture.h"
#include "stationtimings.h"
#include "tarbuilder.h"
#include "testenvironment.h"
#include "testmain.h"
#include "tlsfront.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <sys/resource.h>

namespace {
const QString archiveName = QStringLiteral("nimbrel-4r0417-1.2.0-dev-img.tar.gz");
const QString imageName = QStringLiteral("nimbrel-4r0417-1.2.0-dev.img");
const QString password = QStringLiteral("Prüf:ung"); // the server compares UTF-8 bytes

// One image step against whatever server a test points it at.
struct Step
{
    TestEnvironment env;
    Simulator sim;
    ImageDownload download;
    ImageDownload::Request request;
    LogCapture log;
    qint64 longestGapMs = 0;

    explicit Step(const QString& imageSize = QString()) // the simulator's image, if any
    {
        request.folder = env.path("images/");
        request.archiveName = archiveName;
        request.imageName = imageName;
        request.url = QUrl("http://127.0.0.1:9/cls/closed"); // a request would be refused at once
        request.userName = "station";
        request.password = password;
        QDir().mkpath(request.folder);
        StationTimings timings;
        timings.networkInactivityMs = 2000;
        StationTimings::setForTesting(timings);
        if (!imageSize.isEmpty() &&
            sim.start({"--image-size", imageSize, "--image-user", "station", "--image-password", password}))
            request.url = QUrl(sim.baseUrl() + "cls/nimbrel-4r0417/1.2.0/" + archiveName);
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
        QElapsedTimer clock;
        QTimer ticks; // the window's event loop, which the step must never hold up
        QObject::connect(&ticks, &QTimer::timeout,
                         [&] { longestGapMs = qMax(longestGapMs, clock.restart()); });
        ticks.start(5);
        clock.start();
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
};
} // namespace

class TestImageDownload : public QObject
{
    Q_OBJECT
private slots:
    void wholeOrAbsent_data();
    void wholeOrAbsent();
    void download_data();
    void download();
    void resumed_data();
    void resumed();
    void windowAnswersDuringTheStep();
};

void TestImageDownload::wholeOrAbsent_data()
{
    // planted before the step ("name=content;", ARCHIVE and IMG stand for this job's names),
    // the archive's members, the warning (@: the archive), then files expected afterwards ("-": absent)
    addColumns({"planted", "members", "warning", "after"});
    const QString other = "nimbrel-4r0417-0.9.1-dev";
    addRows({
        {"half image under an archive without its marker", "IMG=IMA", "file:IMG:IMAGE", "", "IMG=IMAGE"},
        {"image and a marker of another unpack", "IMG=IMA;ARCHIVE.unpacked=archive-size=1", "file:IMG:IMAGE",
         "", "IMG=IMAGE"},
        {"archive without the image", "", "file:other.img:X", "Image-Archiv enthält kein Image: @",
         "ARCHIVE=-;IMG=-;other.img=-"},
        {"image only as a link", "", "file:other.img:X;symlink:IMG:other.img",
         "Image-Archiv enthält kein Image: @", "ARCHIVE=-;IMG=-"},
        {"archive carrying another archive's names", other + "-img.tar.gz=OLD;" + other + ".img=OLD",
         "file:IMG:IMAGE;file:" + other + "-img.tar.gz:NEW;file:" + other + ".img:NEW", "",
         "IMG=IMAGE;" + other + "-img.tar.gz=OLD;" + other + ".img=OLD"},
        {"leftover unpack folder", ".ARCHIVE.unpack-x1Y2z3/IMG=OLD", "file:IMG:IMAGE", "",
         "IMG=IMAGE;.ARCHIVE.unpack-x1Y2z3=-"},
    });
}

void TestImageDownload::wholeOrAbsent()
{
    Step step;
    step.write("ARCHIVE", tarGz(cell("members").replace("IMG", imageName).split(';')));
    for (const QString& entry : cell("planted").split(';', Qt::SkipEmptyParts))
        step.write(entry.section('=', 0, 0), entry.section('=', 1).toUtf8());
    QCOMPARE(step.run(), cell("warning").replace("@", step.file("ARCHIVE")));
    for (const QString& entry : cell("after").split(';'))
        QCOMPARE(step.read(entry.section('=', 0, 0)), entry.section('=', 1).toUtf8());
    QVERIFY2(step.entries().filter(".unpack-").isEmpty(), qPrintable(step.entries().join(' ')));
}

void TestImageDownload::download_data()
{
    // "HTTP/..." from a fixed server, "tls:<kind>" from nginx, "fsize" a file-size limit, else a fault
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("warning"); // @: the archive; after a certificate's reason follow its details
    QTest::addColumn<int>("part");        // bytes kept for a resumed request, -1: no part
    const auto row = [](const char* name, const QByteArray& reply, const QString& warning, int part = -1) {
        QTest::newRow(name) << reply << warning << part;
    };
    const auto ok = [](const QByteArray& body, qint64 length = -1) {
        return "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: " +
               QByteArray::number(length < 0 ? body.size() : length) + "\r\n\r\n" + body;
    };
    // A redirect back to the simulator, which would then hand out the image over plain http.
    for (const char* status :
         {"301 Moved Permanently", "302 Found", "307 Temporary Redirect", "308 Permanent Redirect"})
        row(status, "redirect:" + QByteArray(status).left(3),
            "Image-Download: Server antwortet mit " +
                QString(status).replace(QRegularExpression(" (.*)"), " (\\1)") +
                ", eine Weiterleitung wird nicht befolgt");
    row("304", "HTTP/1.1 304 Not Modified\r\n\r\n",
        "Image-Download: Server antwortet mit 304 (Not Modified)");
    row("401 with a page",
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\nETag: \"e\"\r\n"
        "Content-Length: 5\r\n\r\nnein!",
        "Image-Download: Benutzername oder Passwort des Image-Servers falsch");
    const QString tls = "Image-Download: Verbindung zum Server fehlgeschlagen: Zertifikat ";
    row("untrusted", "tls:" + QByteArray::number(TlsFront::Untrusted),
        tls + "nicht vertrauenswürdig (Zertifikat für");
    row("expired", "tls:" + QByteArray::number(TlsFront::Expired),
        tls + "abgelaufen oder noch nicht gültig (");
    row("wrong host", "tls:" + QByteArray::number(TlsFront::WrongHost), tls + "gehört nicht zu localhost (");
    row("2xx, not a tar.gz", ok("hallo"), "Entpacken fehlgeschlagen: @");
    row("link out", ok(tarGz({"symlink:evil:/etc/passwd"})), "Unzulässiger Archivinhalt: evil");
    row("silent mid-body", ok(tarGz({"random:" + imageName + ":300000"}).left(60000), 400000),
        "Image-Download: Der Server antwortet nicht: 127.0.0.1", 60000);
    row("silent before the headers", "stall:5", "Image-Download: Der Server antwortet nicht: 127.0.0.1");
    row("headers only", "cut:0", "Image-Download: Verbindung unterbrochen nach 0 Bytes von 2,1 MB");
    row("inside the first member's header", "cut:300",
        "Image-Download: Verbindung unterbrochen nach 300 Bytes von 2,1 MB", 300);
    row("inside the image", "cut:1500000", "Image-Download: Verbindung unterbrochen nach 1,5 MB von 2,1 MB",
        1500000);
    row("close-delimited, cut short", "cutclose:1500000", "Entpacken fehlgeschlagen: @");
    row("disk full", "fsize", "Datei kann nicht geschrieben werden: @");
}

void TestImageDownload::download()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, warning);
    QFETCH(int, part);
    Step step(reply.startsWith("HTTP/") ? "" : "2M");
    // The part is made anew, never written through a link planted in its place.
    step.write("../outside", "OUTSIDE");
    QVERIFY(QFile::link(step.file("../outside"), step.file("ARCHIVE.part")));
    QTcpServer server; // answers with the fixed reply, then stays silent on the connection
    QObject::connect(&server, &QTcpServer::newConnection, [&server, reply] {
        QTcpSocket* socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, [socket, reply] {
            if (socket->readAll().contains("\r\n\r\n"))
                socket->write(reply);
        });
    });
    TlsFront front;
    const bool tls = reply.startsWith("tls:");
    if (reply.startsWith("HTTP/")) {
        QVERIFY(server.listen(QHostAddress::LocalHost));
        step.request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/cls/a").arg(server.serverPort()));
    } else if (tls && !step.behind(front, TlsFront::Kind(reply.mid(4).toInt()))) {
        QVERIFY2(!front.skipReason().isEmpty(), "nginx did not start where it can run");
        QSKIP(qPrintable(front.skipReason()));
    } else if (!tls && reply != "fsize") {
        QVERIFY(step.sim.setFault("image", reply, 1));
    }
    const rlimit limit{reply == "fsize" ? 1 << 20 : RLIM_INFINITY, RLIM_INFINITY},
        none{RLIM_INFINITY, RLIM_INFINITY};
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const QString got = step.run();
    ::setrlimit(RLIMIT_FSIZE, &none);
    warning.replace("@", step.file("ARCHIVE"));
    QVERIFY2(tls ? got.startsWith(warning) : got == warning, qPrintable(got));
    const QStringList kept{archiveName + ".part", archiveName + ".part.validator"};
    QCOMPARE(step.entries(), part < 0 ? QStringList() : kept);
    QCOMPARE(QFileInfo(step.file("ARCHIVE.part")).size(), qint64(qMax(part, 0)));
    QCOMPARE(step.read("../outside"), QByteArray("OUTSIDE"));
    // The certificate's details reach the log once.
    QCOMPARE(step.log.lines().filter("TLS certificate error:").size(), int(tls));
    QVERIFY(!tls || step.log.lines().filter("| issuer:").value(0).contains("Nimbrel Test"));
}

void TestImageDownload::resumed_data()
{
    addColumns({"end", "nginx", "changed"}); // how the first attempt ends
    addRows({{"cut", "cut", "", ""},
             {"cut, archive changed on the server", "cut", "", "yes"},
             {"nginx", "cut", "yes", ""},
             {"nginx, archive changed on the server", "cut", "yes", "yes"},
             {"cancelled", "cancel", "", ""}});
}

void TestImageDownload::resumed()
{
    Step step("3M");
    TlsFront front;
    if (!cell("nginx").isEmpty() && !step.behind(front, TlsFront::Good)) {
        QVERIFY2(!front.skipReason().isEmpty(), "nginx did not start where it can run");
        QSKIP(qPrintable(front.skipReason()));
    }
    if (cell("end") == "cut") {
        QVERIFY(step.sim.setFault("image", "cut:1000000", 1));
        QVERIFY(step.run().startsWith("Image-Download: Verbindung unterbrochen nach"));
    } else { // no end reported, no unpack folder left
        QVERIFY(step.sim.setFault("image", "slow:2000000", 1));
        QSignalSpy finished(&step.download, &ImageDownload::finished);
        QSignalSpy progress(&step.download, &ImageDownload::progress);
        step.download.start(step.request);
        QTRY_VERIFY_WITH_TIMEOUT(
            !progress.isEmpty() && progress.last().at(0).value<ImageProgress>().unpacked > 500000, 20000);
        step.download.cancel();
        QTRY_VERIFY(step.entries().filter(".unpack-").isEmpty());
        QCOMPARE(finished.size(), 0);
    }
    const qint64 part = QFileInfo(step.file("ARCHIVE.part")).size();
    if (!cell("changed").isEmpty())
        QVERIFY(step.sim.changeImages());
    QCOMPARE(step.run(), QString()); // tar checks the whole archive's checksum
    const QJsonObject last = step.sim.requests().last();
    QCOMPARE(Simulator::header(last, "Range"), "bytes=" + QString::number(part) + "-");
    QVERIFY(!Simulator::header(last, "If-Range").isEmpty());
    QCOMPARE(step.log.contains("downloading it from the start"), !cell("changed").isEmpty());
    QCOMPARE(QFileInfo(step.file("IMG")).size(), 3 << 20);
    QCOMPARE(step.entries(), QStringList({archiveName, archiveName + ".unpacked", imageName}));
    // Same sizes, other bytes: a prepared image is not unpacked again, so this is never read.
    step.write("ARCHIVE", QByteArray(int(QFileInfo(step.file("ARCHIVE")).size()), 'x'));
    step.write("IMG", QByteArray(3 << 20, 'y'));
    QCOMPARE(step.run(), QString());
    QCOMPARE(step.read("IMG"), QByteArray(3 << 20, 'y'));
}

void TestImageDownload::windowAnswersDuringTheStep()
{
    Step step("48M");
    QCOMPARE(step.run(), QString());
    QVERIFY2(step.longestGapMs <= maxGuiGapMs, qPrintable(QString::number(step.longestGapMs)));
    QCOMPARE(QFileInfo(step.file("IMG")).size(), 48 << 20);
}

NIMBREL_TEST_MAIN(TestImageDownload)
#include "tst_imagedownload.moc"
