#include "assignmacs.h"
#include "configmanager.h"
#include "flashsession.h"
#include "logcapture.h"
#include "online.h"
#include "settings.h"
#include "stationtimings.h"
#include "testmain.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {
const QString bothUnread = QStringLiteral("MAC-Adressen von eth0 und eth1 konnten nicht gelesen werden!");

QStringList argsOf(const QJsonObject& run)
{
    return run.value(QStringLiteral("args")).toVariant().toStringList();
}

// The server only takes addresses for a serial number it handed out.
QString assignSerial(const QString& order)
{
    ConfigManager client;
    QSignalSpy spy(&client, &ConfigManager::assingedSerialnummber);
    client.assignSerialNumber(QStringLiteral("4r0417"), QStringLiteral("1.2.0-dev"), order);
    if (!spy.wait(10000) || spy.size() != 1)
        return QString();
    return spy.first().first().toString();
}

void setFakeMac(const char* interfaceName, const QByteArray& value)
{
    qputenv((QByteArray("NIMBREL_FAKE_MAC_") + interfaceName).constData(), value);
}

// Runs the worker to its one report.
QString runWorker(FlashSession& session)
{
    AssignMacs worker;
    worker.setFlashSession(&session);
    QSignalSpy reported(&worker, &AssignMacs::errorOccured);
    worker.run();
    if (!reported.wait(20000) && reported.isEmpty())
        return QStringLiteral("<no report>");
    QTest::qWait(0);
    return reported.size() == 1 ? reported.first().first().toString() : QStringLiteral("<several reports>");
}
} // namespace

class TestAssignMacs : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        qunsetenv("NIMBREL_FAKE_MAC_ETH0");
        qunsetenv("NIMBREL_FAKE_MAC_ETH1");
        QThreadPool::globalInstance()->waitForDone();
    }

    void readsBothInterfacesInTurnAndRegistersThem()
    {
        TestEnvironment env;
        Simulator sim;
        QVERIFY(goOnline(env, sim));
        FlashSession session;
        session.setArticle(QStringLiteral("4r0417"));
        session.setSerialNumber(assignSerial(QStringLiteral("G1234567")));
        QVERIFY(!session.serialNumber().isEmpty());
        // A slow first read would overlap the second if it were started too early.
        TestEnvironment::setScriptDelay(QStringLiteral("MAC"), 0.3);

        LogCapture log;
        QCOMPARE(runWorker(session), QString());
        QVERIFY(log.contains("mac1: 02:4e:49:4d:00:01 mac 2:02:4e:49:4d:00:02"));

        const QList<QJsonObject> runs = env.scriptRuns(QStringLiteral("MAC"));
        QCOMPARE(runs.size(), 2);
        QCOMPARE(argsOf(runs[0]), (QStringList{"eth0"}));
        QCOMPARE(argsOf(runs[1]), (QStringList{"eth1"}));
        QCOMPARE(runs[0].value("program").toString(),
                 QStringLiteral("testsoftware_gegenspieler/mac_test.py"));
        QVERIFY(runs[1].value("start").toDouble() >= runs[0].value("end").toDouble());

        const QList<QJsonObject> requests = sim.requests(QStringLiteral("/api/v1/assignMacAddresses"));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].value("method").toString(), QStringLiteral("PUT"));
        QCOMPARE(Simulator::queryString(requests[0]),
                 QStringLiteral("article=4r0417&serialNumber=") + session.serialNumber());
        const QJsonObject body =
            QJsonDocument::fromJson(requests[0].value("body").toString().toUtf8()).object();
        QCOMPARE(body.value("eth0").toString(), QStringLiteral("02:4e:49:4d:00:01"));
        QCOMPARE(body.value("eth1").toString(), QStringLiteral("02:4e:49:4d:00:02"));
    }

    void failureIsReported_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<int>("requests"); // that reach the server
        QTest::newRow("eth0 empty") << "eth0 empty"
                                    << "MAC-Adresse von eth0 konnte nicht gelesen werden!" << 0;
        QTest::newRow("eth1 empty") << "eth1 empty"
                                    << "MAC-Adresse von eth1 konnte nicht gelesen werden!" << 0;
        QTest::newRow("both empty") << "both empty" << bothUnread << 0;
        QTest::newRow("scripts time out") << "hang" << bothUnread << 0;
        QTest::newRow("server warning") << "unknown serial"
                                        << "Seriennummer 999 unbekannt" << 1;
    }

    void failureIsReported()
    {
        QFETCH(QString, cause);
        QFETCH(QString, warning);
        QFETCH(int, requests);
        TestEnvironment env;
        Simulator sim;
        QVERIFY(goOnline(env, sim));
        FlashSession session;
        session.setArticle(QStringLiteral("4r0417"));
        session.setSerialNumber(cause == "unknown serial" ? QStringLiteral("999") // never handed out
                                                          : assignSerial(QStringLiteral("G1234567")));
        if (cause == "hang") {
            StationTimings timings;
            timings.macScriptTimeoutMs = 500;
            StationTimings::setForTesting(timings);
            TestEnvironment::setScriptExit(QStringLiteral("MAC"), QStringLiteral("hang"));
        }
        if (cause == "eth0 empty" || cause == "both empty")
            setFakeMac("ETH0", QByteArray());
        if (cause == "eth1 empty" || cause == "both empty")
            setFakeMac("ETH1", QByteArray());

        QCOMPARE(runWorker(session), warning);
        if (cause != "hang") // a script ended for its time limit leaves no record
            QCOMPARE(env.scriptRuns(QStringLiteral("MAC")).size(), 2);
        QCOMPARE(sim.requests(QStringLiteral("/api/v1/assignMacAddresses")).size(), requests);
    }

    void readMacTakesStandardError_data()
    {
        QTest::addColumn<QByteArray>("written"); // what the script writes to stderr, plus "\n"
        QTest::addColumn<QString>("exit");
        QTest::addColumn<QString>("expected");
        const QByteArray mac = "02:4e:49:4d:00:07";
        QTest::newRow("address") << mac << "0" << QString(mac);
        QTest::newRow("carriage return stays") << mac + '\r' << "0" << QString(mac + '\r');
        QTest::newRow("lines joined") << QByteArray("02:4e\n49:4d") << "0" << QString("02:4e49:4d");
        QTest::newRow("non-zero exit still counts") << mac << "3" << QString(mac);
        QTest::newRow("non-zero exit with an error text")
            << QByteArray("can't open file 'mac_test.py'") << "2" << QString();
        QTest::newRow("nothing written") << QByteArray() << "0" << QString();
        QTest::newRow("crash") << mac << "crash" << QString();
        QTest::newRow("no interpreter") << mac << "no python" << QString();
        QTest::newRow("answer on standard output only") << mac << "stdout only" << QString();
    }

    void readMacTakesStandardError()
    {
        QFETCH(QByteArray, written);
        QFETCH(QString, exit);
        QFETCH(QString, expected);
        TestEnvironment env;
        setFakeMac("ETH0", written);
        if (exit == "no python") {
            Settings::setValue(QStringLiteral("Python"), env.path(QStringLiteral("no-such-python")));
        } else if (exit == "stdout only") {
            const QString script = env.path(QStringLiteral("stdout_mac.py"));
            QFile file(script);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("print('" + written + "')\n");
            file.close();
            Settings::setValue(QStringLiteral("ReadMacScript"), script);
        } else {
            TestEnvironment::setScriptExit(QStringLiteral("MAC"), exit);
        }
        QCOMPARE(AssignMacs::readMac(QStringLiteral("eth0")), expected);
    }
};

NIMBREL_TEST_MAIN(TestAssignMacs)
#include "tst_assignmacs.moc"
