#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class Settings;

// A sandboxed station for one test: a temporary HOME with its own settings file, a
// station working directory with the fake station scripts, the fake ping and
// powerNimbrel.sh first on PATH, and every directory setting pointing into the sandbox.
// Builds nothing that reaches beyond loopback: EndpointURL and ImageServerURL point at a
// closed loopback port until a simulator is attached.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();

    QString root() const;                        // the sandbox
    QString path(const QString& relative) const; // root() + "/" + relative
    QString stationDir() const;                  // working directory of the station program

    // The fake scripts' run record (one JSON object per run, in the order they ended).
    QList<QJsonObject> scriptRuns() const;
    QList<QJsonObject> scriptRuns(const QString& role) const;
    void clearScriptRuns();

    // Behaviour of a fake script by its role (RELAY, POWER, PING, MAC, TESTTASTER, RESETTASTER,
    // INTERFACES, ENDTESTSERVER, DISABLEPRODUCTION, PRINT, FLASH).
    static void setScriptExit(const QString& role, const QString& exitCodeOrCrashOrHang);
    static void setScriptDelay(const QString& role, double seconds);
    static void resetScripts();

    void pointAt(const QString& baseUrl); // EndpointURL and ImageServerURL

    Settings* settings() const { return m_settings.get(); }
    void reopenSettings(); // a fresh holder that reads the file as it is now

private:
    QTemporaryDir dir;
    QString previousCwd;
    QByteArray previousPath;
    QByteArray previousHome;
    QByteArray previousXdg;
    std::unique_ptr<Settings> m_settings;
};
