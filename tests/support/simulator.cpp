#include "simulator.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>

QString pythonProgram()
{
    return QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                             : QStringLiteral("python3");
}

QByteArray startPythonTool(QProcess& process, const QString& script, const QStringList& arguments)
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(pythonProgram(),
                  QStringList{QStringLiteral(NIMBREL_SOURCE_DIR "/sim/") + script} + arguments);
    QByteArray output;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000 && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(200);
        output += process.readAllStandardOutput();
        const int end = output.indexOf('\n');
        if (end >= 0)
            return output.left(end);
    }
    return QByteArray();
}

void stopPythonTool(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start(const QStringList& extraArguments)
{
    const QByteArray line = startPythonTool(
        process, QStringLiteral("nimbrel_sim.py"),
        QStringList{QStringLiteral("--record"), dir.path() + QStringLiteral("/record.jsonl")} +
            extraArguments);
    if (line.startsWith("NIMBREL_SIM_PORT="))
        m_port = line.mid(17).trimmed().toInt();
    if (m_port > 0)
        return true;
    qWarning("simulator did not start: %s", process.readAllStandardError().constData());
    return false;
}

void Simulator::stop()
{
    stopPythonTool(process);
}

QUrl Simulator::url() const
{
    return QUrl(baseUrl());
}

QString Simulator::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port);
}

QList<QJsonObject> readJsonLines(const QString& fileName, const char* key, const QString& value)
{
    QList<QJsonObject> result;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (!line.trimmed().isEmpty() && (!key || object.value(QLatin1String(key)).toString() == value))
            result << object;
    }
    return result;
}

QList<QJsonObject> Simulator::requests() const
{
    return readJsonLines(dir.path() + QStringLiteral("/record.jsonl"));
}

QList<QJsonObject> Simulator::requests(const QString& path) const
{
    return readJsonLines(dir.path() + QStringLiteral("/record.jsonl"), "path", path);
}

void Simulator::clearRequests()
{
    QFile file(dir.path() + QStringLiteral("/record.jsonl"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.close();
}

void Simulator::reset()
{
    control("POST", QStringLiteral("/_sim/reset"));
    clearRequests();
}

bool Simulator::setFault(const QString& endpoint, const QString& mode, int count)
{
    QJsonObject fault{{QStringLiteral("endpoint"), endpoint}, {QStringLiteral("mode"), mode}};
    if (count > 0)
        fault.insert(QStringLiteral("count"), count);
    return !control("POST", QStringLiteral("/_sim/fault"),
                    QJsonDocument(fault).toJson(QJsonDocument::Compact))
                .isNull();
}

bool Simulator::changeImages()
{
    return !control("POST", QStringLiteral("/_sim/image/change")).isNull();
}

QJsonObject Simulator::state() const
{
    return QJsonDocument::fromJson(control("GET", QStringLiteral("/_sim/state"))).object();
}

QString Simulator::queryString(const QJsonObject& request)
{
    QStringList items;
    for (const QJsonValue& item : request.value(QStringLiteral("query")).toArray()) {
        const QJsonArray pair = item.toArray();
        items << pair.at(0).toString() + QLatin1Char('=') + pair.at(1).toString();
    }
    return items.join(QLatin1Char('&'));
}

QString Simulator::header(const QJsonObject& request, const QString& name, bool* present)
{
    if (present)
        *present = false;
    for (const QJsonValue& item : request.value(QStringLiteral("headers")).toArray()) {
        const QJsonArray pair = item.toArray();
        if (pair.at(0).toString().compare(name, Qt::CaseInsensitive) == 0) {
            if (present)
                *present = true;
            return pair.at(1).toString();
        }
    }
    return QString();
}

// A blocking exchange on a plain socket, so that asking the simulator never runs the
// test's event loop.
QByteArray Simulator::control(const QByteArray& method, const QString& path, const QByteArray& body) const
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_port));
    if (!socket.waitForConnected(5000))
        return QByteArray();
    socket.write(method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                 "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
                 "\r\n\r\n" + body);
    socket.waitForBytesWritten(5000);
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
        reply += socket.readAll();
    reply += socket.readAll();
    const int bodyStart = reply.indexOf("\r\n\r\n");
    if (bodyStart < 0 || !reply.startsWith("HTTP/1.") || reply.mid(9, 1) != "2")
        return QByteArray();
    QByteArray content = reply.mid(bodyStart + 4);
    return content.isNull() ? QByteArray("") : content;
}
