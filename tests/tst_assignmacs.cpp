#include "assignmacs.h"
#include "configmanager.h"
#include "flashsession.h"
#include "logcapture.h"
#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {
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
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        FlashSession session;
        session.setArticle(QStringLiteral("4r0417"));
        session.setSerialNumber(assignSerial(QStringLiteral("G1234567")));
        QVERIFY(!session.serialNumber().isEmpty());
        // A slow first read would overlap the second if it were started too early.
        TestEnvironment::setScriptDelay(QStringLiteral("MAC"), 0.3);

        LogCapture log;
        AssignMacs worker;
        worker.setFlashSession(&session);
        QSignalSpy reported(&worker, &AssignMacs::errorOccured);
        worker.run();
        QTRY_COMPARE_WITH_TIMEOUT(reported.size(), 1, 20000);
        QCOMPARE(reported.first().first().toString(), QString());
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

    void unreadAddressNeverReachesTheServer_data()
    {
        QTest::addColumn<QByteArray>("eth0");
        QTest::addColumn<QByteArray>("eth1");
        QTest::addColumn<QString>("warning");
        QTest::newRow("eth0 empty") << QByteArray() << QByteArray("02:00:00:00:00:02")
                                    << "MAC-Adresse von eth0 konnte nicht gelesen werden!";
        QTest::newRow("eth1 empty") << QByteArray("02:00:00:00:00:01") << QByteArray()
                                    << "MAC-Adresse von eth1 konnte nicht gelesen werden!";
        QTest::newRow("both empty") << QByteArray() << QByteArray()
                                    << "MAC-Adressen von eth0 und eth1 konnten nicht gelesen werden!";
    }

    void unreadAddressNeverReachesTheServer()
    {
        QFETCH(QByteArray, eth0);
        QFETCH(QByteArray, eth1);
        QFETCH(QString, warning);
        TestEnvironment env;
        Simulator sim;
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        FlashSession session;
        session.setArticle(QStringLiteral("4r0417"));
        session.setSerialNumber(assignSerial(QStringLiteral("G1234567")));
        setFakeMac("ETH0", eth0);
        setFakeMac("ETH1", eth1);

        AssignMacs worker;
        worker.setFlashSession(&session);
        QSignalSpy reported(&worker, &AssignMacs::errorOccured);
        worker.run();
        QTRY_COMPARE_WITH_TIMEOUT(reported.size(), 1, 20000);
        QCOMPARE(reported.first().first().toString(), warning);
        QCOMPARE(env.scriptRuns(QStringLiteral("MAC")).size(), 2);
        QVERIFY(sim.requests(QStringLiteral("/api/v1/assignMacAddresses")).isEmpty());
    }

    void scriptsThatTimeOutGiveNoAddress()
    {
        TestEnvironment env;
        Simulator sim;
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        StationTimings timings;
        timings.macScriptTimeoutMs = 500;
        StationTimings::setForTesting(timings);
        TestEnvironment::setScriptExit(QStringLiteral("MAC"), QStringLiteral("hang"));
        FlashSession session;

        AssignMacs worker;
        worker.setFlashSession(&session);
        QSignalSpy reported(&worker, &AssignMacs::errorOccured);
        worker.run();
        QTRY_COMPARE_WITH_TIMEOUT(reported.size(), 1, 20000);
        QCOMPARE(reported.first().first().toString(),
                 QStringLiteral("MAC-Adressen von eth0 und eth1 konnten nicht gelesen werden!"));
        QVERIFY(sim.requests(QStringLiteral("/api/v1/assignMacAddresses")).isEmpty());
    }

    void serverWarningIsHandedOn()
    {
        TestEnvironment env;
        Simulator sim;
        QVERIFY(sim.start());
        env.pointAt(sim.baseUrl());
        FlashSession session;
        session.setArticle(QStringLiteral("4r0417"));
        session.setSerialNumber(QStringLiteral("999")); // never handed out

        AssignMacs worker;
        worker.setFlashSession(&session);
        QSignalSpy reported(&worker, &AssignMacs::errorOccured);
        worker.run();
        QTRY_COMPARE_WITH_TIMEOUT(reported.size(), 1, 20000);
        QCOMPARE(reported.first().first().toString(), QStringLiteral("Seriennummer 999 unbekannt"));
        QCOMPARE(sim.requests(QStringLiteral("/api/v1/assignMacAddresses")).size(), 1);
    }

    void readMacTakesStandardError_data()
    {
        QTest::addColumn<QByteArray>("written"); // what the script writes to stderr, plus "\n"
        QTest::addColumn<QString>("exit");
        QTest::addColumn<QString>("expected");
        QTest::newRow("address") << QByteArray("02:4e:49:4d:00:07") << "0"
                                 << "02:4e:49:4d:00:07";
        QTest::newRow("carriage return stays") << QByteArray("02:4e:49:4d:00:07\r") << "0"
                                               << "02:4e:49:4d:00:07\r";
        QTest::newRow("lines joined") << QByteArray("02:4e\n49:4d") << "0"
                                      << "02:4e49:4d";
        QTest::newRow("non-zero exit still counts") << QByteArray("02:4e:49:4d:00:07") << "3"
                                                    << "02:4e:49:4d:00:07";
        QTest::newRow("non-zero exit with an error text")
            << QByteArray("can't open file 'mac_test.py'") << "2"
            << "";
        QTest::newRow("nothing written") << QByteArray() << "0"
                                         << "";
        QTest::newRow("crash") << QByteArray("02:4e:49:4d:00:07") << "crash"
                               << "";
    }

    void readMacTakesStandardError()
    {
        QFETCH(QByteArray, written);
        QFETCH(QString, exit);
        QFETCH(QString, expected);
        TestEnvironment env;
        setFakeMac("ETH0", written);
        TestEnvironment::setScriptExit(QStringLiteral("MAC"), exit);
        QCOMPARE(AssignMacs::readMac(QStringLiteral("eth0")), expected);
    }

    void readMacWithoutInterpreterGivesNothing()
    {
        TestEnvironment env;
        Settings::setValue(QStringLiteral("Python"), env.path(QStringLiteral("no-such-python")));
        QCOMPARE(AssignMacs::readMac(QStringLiteral("eth1")), QString());
    }

    void answerOnStandardOutputOnlyIsNoAddress()
    {
        TestEnvironment env;
        const QString script = env.path(QStringLiteral("stdout_mac.py"));
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("print('02:4e:49:4d:00:09')\n");
        file.close();
        Settings::setValue(QStringLiteral("ReadMacScript"), script);
        QCOMPARE(AssignMacs::readMac(QStringLiteral("eth0")), QString());
    }
};

NIMBREL_TEST_MAIN(TestAssignMacs)
#include "tst_assignmacs.moc"
