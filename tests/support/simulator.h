#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

QString pythonProgram(); // /usr/bin/python3 if there (a pyenv shim costs 0.3 s a start)
// Starts python3 with sim/<script> and returns the first line it prints on standard output;
// empty if it ended or 20 s passed first.
QByteArray startPythonTool(QProcess& process, const QString& script, const QStringList& arguments);
// One JSON object a line; with a key, only those whose key has that value.
QList<QJsonObject> readJsonLines(const QString& fileName, const char* key = nullptr, const QString& value = {});
// SIGTERM, so that the tool can clean up; SIGKILL if it has not ended 10 s later.
void stopPythonTool(QProcess& process);

// The station simulator (sim/nimbrel_sim.py) on a loopback port, for one test.
class Simulator
{
public:
    Simulator() = default;
    ~Simulator();

    bool start(const QStringList& extraArguments = {});
    void stop();
    QUrl url() const;        // http://127.0.0.1:<port>
    QString baseUrl() const; // same, as text
    int port() const { return m_port; }

    QList<QJsonObject> requests() const; // everything the simulator received, in order
    QList<QJsonObject> requests(const QString& path) const;
    void clearRequests();
    void reset(); // serial numbers, MACs, faults and the record forgotten

    bool setFault(const QString& endpoint, const QString& mode, int count = -1);
    bool changeImages(); // every image archive is served with new bytes and a new ETag
    QJsonObject state() const;

    // Request query as "k=v&k=v" in received order, from one record line.
    static QString queryString(const QJsonObject& request);
    static QString header(const QJsonObject& request, const QString& name, bool* present = nullptr);

private:
    QByteArray control(const QByteArray& method, const QString& path, const QByteArray& body = {}) const;

    QTemporaryDir dir;
    QProcess process;
    int m_port = 0;
};
