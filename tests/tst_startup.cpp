#include "settings.h"
#include "simulator.h"
#include "testenvironment.h"
#include "testmain.h"

// Runs the station program itself, as an operator's start script would.
class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void helpEndsWithoutAWindow();
    void unknownOptionFails();
    void snapOption_data();
    void snapOption();
    void unusableSettingsAreReported();

private:
    static QString program() { return QStringLiteral(NIMBREL_BINARY_DIR "/nimbrel-production"); }
};

void TestStartup::helpEndsWithoutAWindow()
{
    TestEnvironment env;
    QProcess station;
    station.start(program(), {QStringLiteral("--help")});
    QVERIFY(station.waitForFinished(20000));
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(station.readAllStandardOutput());
    QVERIFY2(help.contains(QStringLiteral("Flashtool for flashing Tarvelin Nimbrel 4r0417 Devices")),
             qPrintable(help));
    QVERIFY(help.contains(QStringLiteral("--help")));
    QVERIFY(help.contains(QStringLiteral("--snap <image-path>")));
    QVERIFY(help.contains(QStringLiteral("Provide the name of the snap image to flash.")));
    QVERIFY(!help.contains(QStringLiteral("--version")));
}

void TestStartup::unknownOptionFails()
{
    TestEnvironment env;
    QProcess station;
    station.start(program(), {QStringLiteral("--frobnicate")});
    QVERIFY(station.waitForFinished(20000));
    QVERIFY(station.exitCode() != 0);
    QVERIFY(station.readAllStandardError().contains("frobnicate"));
}

void TestStartup::snapOption_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<QStringList>("absentLines");

    const QStringList snapLines{
        QStringLiteral("A snap image was given to set as default!"),
        QStringLiteral(
            "Art.: \"4r0417\" | SwVer.: \"1.2.3-snap\" | Date: \"2024-05-17\" | CommitHash: \"a1b2c3\"")};
    QTest::newRow("no arguments") << QStringList() << QStringList{"Ungültiges Snap-Image-Format!"}
                                  << snapLines;
    QTest::newRow("snap name") << QStringList{"--snap", "4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz"}
                               << snapLines << QStringList{"Ungültiges Snap-Image-Format!"};
    QTest::newRow("snap name with folder")
        << QStringList{"--snap", "/data/4r0417-1.2.3-snap-2024-05-17-a1b2c3-img.tar.gz"} << snapLines
        << QStringList{"Ungültiges Snap-Image-Format!"};
    QTest::newRow("not a snap name") << QStringList{"--snap", "4r0417-1.2-snap-2024-05-17-a1b2c3-img.tar.gz"}
                                     << QStringList{"Ungültiges Snap-Image-Format!"} << snapLines;
}

void TestStartup::snapOption()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expectedLines);
    QFETCH(QStringList, absentLines);

    TestEnvironment env;
    Simulator sim;
    QVERIFY(sim.start());
    env.pointAt(sim.baseUrl());
    env.reopenSettings(); // writes the sandbox settings to disk for the child

    QProcess station;
    station.setProcessChannelMode(QProcess::SeparateChannels);
    station.start(program(), arguments);
    QString log;
    // the spec list request is the station's first request; wait for it, then for the log lines
    QTRY_VERIFY_WITH_TIMEOUT(!sim.requests(QStringLiteral("/api/v1/specs")).isEmpty(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += QString::fromUtf8(station.readAllStandardError()), log.contains(expectedLines.last())),
        20000);
    station.terminate();
    QVERIFY(station.waitForFinished(10000));

    QVERIFY2(log.contains(QStringLiteral("Setting path \"") + env.root()), qPrintable(log));
    for (const QString& line : expectedLines)
        QVERIFY2(log.contains(line), qPrintable(line));
    for (const QString& line : absentLines)
        QVERIFY2(!log.contains(line), qPrintable(line));
    QCOMPARE(sim.requests(QStringLiteral("/api/v1/specs")).size(), 1);
}

void TestStartup::unusableSettingsAreReported()
{
    TestEnvironment env;
    const QString fileName = env.settings()->fileName();
    QFile::remove(fileName);
    QVERIFY(QDir().mkpath(fileName)); // cannot be read, even by root

    QProcess station;
    station.start(program(), QStringList());
    // The box waits for the operator; nothing is requested on the defaults before it is answered.
    QString log;
    QTRY_VERIFY_WITH_TIMEOUT((log += QString::fromUtf8(station.readAllStandardError()),
                              log.contains(QStringLiteral("Warning box: Einstellungsdatei ") + fileName)),
                             20000);
    station.kill();
    QVERIFY(station.waitForFinished(10000));
    QVERIFY(QFileInfo(fileName).isDir());
}

NIMBREL_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
