#include "asyncprocess.h"
#include "processrunner.h"
#include "testmain.h"

#include <QElapsedTimer>
#include <QSignalSpy>

// The verdicts every script run of the station depends on.
class TestProcessRunner : public QObject
{
    Q_OBJECT
private slots:
    void verdict_data();
    void verdict();
    void asyncVerdict_data() { verdict_data(); }
    void asyncVerdict();
    void asyncStreamsOutputAndStops();
    void deletingARunningAsyncProcessStopsTheChild();
};

void TestProcessRunner::verdict_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("timedOut");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QByteArray>("stdErr");

    QTest::newRow("exit 0 with standard error") << "sh" << QStringList{"-c", "echo out; echo err >&2; exit 0"}
                                                << 10000 << true << false << true << QByteArray("err\n");
    QTest::newRow("non-zero exit") << "sh" << QStringList{"-c", "echo bad >&2; exit 3"} << 10000 << true
                                   << false << false << QByteArray("bad\n");
    QTest::newRow("killed by a signal")
        << "sh" << QStringList{"-c", "kill -SEGV $$"} << 10000 << true << false << false << QByteArray();
    QTest::newRow("program does not exist")
        << "/nonexistent/program" << QStringList{} << 10000 << false << false << false << QByteArray();
    QTest::newRow("past its limit") << "sh" << QStringList{"-c", "sleep 30"} << 300 << true << true << false
                                    << QByteArray();
}

void TestProcessRunner::verdict()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, timeoutMs);
    QFETCH(bool, started);
    QFETCH(bool, timedOut);
    QFETCH(bool, succeeded);
    QFETCH(QByteArray, stdErr);

    ProcessRequest request;
    request.program = program;
    request.arguments = arguments;
    request.timeoutMs = timeoutMs;
    QElapsedTimer clock;
    clock.start();
    const ProcessResult result = ProcessRunner::run(request);
    QCOMPARE(result.started, started);
    QCOMPARE(result.timedOut, timedOut);
    QCOMPARE(result.succeeded(), succeeded);
    QCOMPARE(result.standardError, stdErr);
    if (timedOut)
        QVERIFY2(clock.elapsed() < 10000, "a child past its limit must be killed, not waited for");
    if (QByteArray(QTest::currentDataTag()) == "killed by a signal") {
        QCOMPARE(result.exitStatus, QProcess::CrashExit);
        QVERIFY(result.outcome().contains(QStringLiteral("crashed")));
    }
}

void TestProcessRunner::asyncVerdict()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, timeoutMs);
    QFETCH(bool, started);
    QFETCH(bool, timedOut);
    QFETCH(bool, succeeded);

    AsyncProcess process;
    QSignalSpy finished(&process, &AsyncProcess::finished);
    process.start({program, arguments, QString(), timeoutMs});
    QVERIFY(finished.wait(15000));
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1); // reported exactly once, also when error and finish both arrive
    const auto result = finished.first().first().value<ProcessResult>();
    QCOMPARE(result.started, started);
    QCOMPARE(result.timedOut, timedOut);
    QCOMPARE(result.succeeded(), succeeded);
}

void TestProcessRunner::asyncStreamsOutputAndStops()
{
    AsyncProcess process;
    QSignalSpy output(&process, &AsyncProcess::standardOutputAvailable);
    QSignalSpy finished(&process, &AsyncProcess::finished);
    process.start({"sh", {"-c", "echo first; sleep 0.3; echo second; sleep 30"}, QString(), 0});
    QTRY_VERIFY_WITH_TIMEOUT(output.count() >= 2, 10000);
    QCOMPARE(output.at(0).first().toByteArray(), QByteArray("first\n"));
    process.stop(500);
    QVERIFY(finished.wait(10000));
    QVERIFY(!finished.first().first().value<ProcessResult>().succeeded());
}

void TestProcessRunner::deletingARunningAsyncProcessStopsTheChild()
{
    auto* process = new AsyncProcess;
    const QString pidFile =
        QDir::tempPath() + QStringLiteral("/nimbrel-async-%1.pid").arg(QCoreApplication::applicationPid());
    process->start({"sh", {"-c", QStringLiteral("echo $$ > %1; exec sleep 60").arg(pidFile)}, QString(), 0});
    QTRY_VERIFY(QFile::exists(pidFile) && QFileInfo(pidFile).size() > 0);
    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray pid = file.readAll().trimmed();
    file.remove();
    delete process;
    QVERIFY2(
        !QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)) ||
            QFile(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid))).open(QIODevice::ReadOnly) ==
                false,
        "the child must be gone once its owner is deleted");
}

NIMBREL_TEST_MAIN(TestProcessRunner)
#include "tst_processrunner.moc"
