#include "testenvironment.h"

#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

namespace {
const QStringList roles{"RELAY",      "POWER",         "PING",
                        "MAC",        "TESTTASTER",    "RESETTASTER",
                        "INTERFACES", "ENDTESTSERVER", "DISABLEPRODUCTION",
                        "PRINT",      "FLASH"};
} // namespace

TestEnvironment::TestEnvironment()
{
    if (!dir.isValid())
        qFatal("cannot create a temporary directory");
    previousCwd = QDir::currentPath();
    previousPath = qgetenv("PATH");
    previousHome = qgetenv("HOME");
    previousXdg = qgetenv("XDG_CONFIG_HOME");

    const QString home = path(QStringLiteral("home"));
    QDir().mkpath(home + QStringLiteral("/.config"));
    qputenv("HOME", home.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toLocal8Bit());
    // QSettings remembers the config folder of its first use; point it into the sandbox every time.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home + QStringLiteral("/.config"));
    QCoreApplication::setOrganizationName(QStringLiteral("Tarvelin"));
    QCoreApplication::setApplicationName(QStringLiteral("NimbrelProduction"));

    QProcess layout;
    layout.start(pythonProgram(), {QStringLiteral(NIMBREL_SOURCE_DIR "/sim/make_station.py"), stationDir()});
    if (!layout.waitForFinished(30000) || layout.exitCode() != 0)
        qFatal("sim/make_station.py failed: %s", layout.readAllStandardError().constData());

    qputenv("PATH", (stationDir() + QStringLiteral("/bin:")).toLocal8Bit() + previousPath);
    qputenv("NIMBREL_FAKE_RECORD", path(QStringLiteral("scripts.jsonl")).toLocal8Bit());
    resetScripts();
    QDir::setCurrent(stationDir());
    StationTimings::setForTesting(StationTimings());

    m_settings = std::make_unique<Settings>();
    Settings::setValue(QStringLiteral("Python"), pythonProgram());
    Settings::setValue(QStringLiteral("DeviceConfigPath"), path(QStringLiteral("configs/")));
    Settings::setValue(QStringLiteral("DeviceConfigTargetPath"), path(QStringLiteral("configs/extract/")));
    Settings::setValue(QStringLiteral("ImagePath"), path(QStringLiteral("images/")));
    Settings::setValue(QStringLiteral("FlashScriptPath"), stationDir() + QStringLiteral("/flash/"));
    Settings::setValue(QStringLiteral("FlashScriptName"), QStringLiteral("./4R0417_stage1.sh"));
    Settings::setValue(QStringLiteral("LogPath"), path(QStringLiteral("log/")));
    Settings::setValue(QStringLiteral("TestLogPath"), path(QStringLiteral("test_log/")));
    QDir().mkpath(path(QStringLiteral("test_log")));
    pointAt(QStringLiteral("http://127.0.0.1:9/")); // closed port: refused at once
}

TestEnvironment::~TestEnvironment()
{
    m_settings.reset();
    QDir::setCurrent(previousCwd);
    qputenv("PATH", previousPath);
    qputenv("HOME", previousHome);
    if (previousXdg.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", previousXdg);
    qunsetenv("NIMBREL_FAKE_RECORD");
    qunsetenv("NIMBREL_FAKE_WATCH");
    resetScripts();
    StationTimings::setForTesting(StationTimings());
}

QString TestEnvironment::root() const
{
    return dir.path();
}

QString TestEnvironment::path(const QString& relative) const
{
    return dir.path() + QLatin1Char('/') + relative;
}

QString TestEnvironment::stationDir() const
{
    return path(QStringLiteral("station"));
}

QList<QJsonObject> TestEnvironment::scriptRuns() const
{
    return readJsonLines(path(QStringLiteral("scripts.jsonl")));
}

QList<QJsonObject> TestEnvironment::scriptRuns(const QString& role) const
{
    return readJsonLines(path(QStringLiteral("scripts.jsonl")), "role", role);
}

void TestEnvironment::clearScriptRuns()
{
    QFile::remove(path(QStringLiteral("scripts.jsonl")));
}

void TestEnvironment::setScriptExit(const QString& role, const QString& exitCodeOrCrashOrHang)
{
    qputenv(QByteArray("NIMBREL_FAKE_EXIT_" + role.toLatin1()).constData(), exitCodeOrCrashOrHang.toLatin1());
}

void TestEnvironment::setScriptDelay(const QString& role, double seconds)
{
    qputenv(QByteArray("NIMBREL_FAKE_DELAY_" + role.toLatin1()).constData(), QByteArray::number(seconds));
}

void TestEnvironment::resetScripts()
{
    for (const QString& role : roles) {
        qunsetenv(QByteArray("NIMBREL_FAKE_EXIT_" + role.toLatin1()).constData());
        qunsetenv(QByteArray("NIMBREL_FAKE_DELAY_" + role.toLatin1()).constData());
    }
}

void TestEnvironment::pointAt(const QString& baseUrl)
{
    Settings::setValue(QStringLiteral("EndpointURL"), baseUrl);
    Settings::setValue(QStringLiteral("ImageServerURL"), baseUrl);
}

void TestEnvironment::reopenSettings()
{
    m_settings.reset();
    m_settings = std::make_unique<Settings>();
}
