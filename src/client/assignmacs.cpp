#include "assignmacs.h"

#include "configmanager.h"
#include "flashsession.h"
#include "processrunner.h"
#include "settings.h"
#include "stationtimings.h"

#include <QDebug>
#include <QRegularExpression>
#include <QtConcurrent>

AssignMacs::AssignMacs(QObject* parent) : QObject(parent), configManager(new ConfigManager(this))
{
    connect(configManager, &ConfigManager::ResponseAssignMacs, this, &AssignMacs::ResponseAssignMacs);
    connect(&eth0Watcher, &QFutureWatcher<QString>::finished, this, &AssignMacs::receivedMAC1);
    connect(&eth0Watcher, &QFutureWatcher<QString>::canceled, this, &AssignMacs::receivedMAC1);
    connect(&eth1Watcher, &QFutureWatcher<QString>::finished, this, &AssignMacs::receivedMAC2);
    connect(&eth1Watcher, &QFutureWatcher<QString>::canceled, this, &AssignMacs::receivedMAC2);
}

AssignMacs::~AssignMacs() = default;

void AssignMacs::setFlashSession(FlashSession* session)
{
    m_flashSession = session;
}

FlashSession* AssignMacs::flashSession() const
{
    return m_flashSession;
}

QString AssignMacs::readMac(QString interfaceName)
{
    return readMacWith(Settings::Python(), Settings::ReadMacScript(), interfaceName, {});
}

void AssignMacs::setCancelToken(const CancelToken& token)
{
    cancel = token;
}

QString AssignMacs::macAddressIn(const QString& text)
{
    // Six pairs of hex digits with one kind of separator, not part of a longer run of them.
    static const QRegularExpression pattern(QStringLiteral(
        "(?<![0-9A-Fa-f:-])[0-9A-Fa-f]{2}([:-])[0-9A-Fa-f]{2}(?:\\1[0-9A-Fa-f]{2}){4}(?![0-9A-Fa-f:-])"));
    QString found;
    QString foundKey;
    for (auto it = pattern.globalMatch(text); it.hasNext();) {
        const QString address = it.next().captured(0);
        const QString key = address.toLower().replace(QLatin1Char('-'), QLatin1Char(':'));
        if (!found.isEmpty() && key != foundKey)
            return QString(); // two different addresses: which one is the device's is unknown
        if (found.isEmpty()) {
            found = address;
            foundKey = key;
        }
    }
    return found;
}

QString AssignMacs::readMacWith(QString python, QString script, QString interfaceName, CancelToken cancel)
{
    ProcessRequest request;
    request.program = python;
    request.arguments = QStringList{script, interfaceName};
    request.timeoutMs = StationTimings::current().macScriptTimeoutMs;
    request.cancel = cancel;
    const ProcessResult result = ProcessRunner::run(request);

    const QString errorText = ProcessResult::textUpToNul(result.standardError);
    if (!result.finished())
        qWarning().noquote() << "MAC script for" << interfaceName << result.outcome();
    // The script answers on standard error, whatever its exit code. A script that hung is
    // judged by what it wrote up to its limit.
    if (!result.started || result.cancelled || (result.exitStatus != QProcess::NormalExit && !result.timedOut))
        return QString();
    // Only an address is registered as one: never a warning, a traceback or two addresses.
    const QString address = macAddressIn(errorText);
    if (address.isEmpty())
        qWarning().noquote() << "MAC script for" << interfaceName << "wrote no single MAC address:" << errorText;
    return address;
}

QFuture<QString> AssignMacs::startRead(const QString& interfaceName) const
{
    // Settings are read here, in the GUI thread; the task only gets copies.
    return QtConcurrent::run(&AssignMacs::readMacWith, Settings::Python(), Settings::ReadMacScript(),
                             interfaceName, cancel);
}

void AssignMacs::run()
{
    qDebug() << "Run Thread";
    eth0Pending = true;
    eth0Watcher.setFuture(startRead(QStringLiteral("eth0")));
}

void AssignMacs::receivedMAC1()
{
    if (!eth0Pending)
        return;
    eth0Pending = false;
    // Only now: the two reads must never overlap.
    eth1Pending = true;
    eth1Watcher.setFuture(startRead(QStringLiteral("eth1")));
}

void AssignMacs::receivedMAC2()
{
    if (!eth1Pending)
        return;
    eth1Pending = false;
    qDebug() << "receivedMAC2";
    qDebug() << "assgn it ";
    const auto resultOf = [](const QFutureWatcher<QString>& watcher) {
        const QFuture<QString> future = watcher.future();
        return future.isCanceled() || future.resultCount() == 0 ? QString() : future.result();
    };
    const QString mac1 = resultOf(eth0Watcher);
    const QString mac2 = resultOf(eth1Watcher);
    qDebug().noquote() << "mac1: " + mac1 + " mac 2:" + mac2;

    // The server must never record an address that was not read.
    QStringList unread;
    if (mac1.trimmed().isEmpty())
        unread << QStringLiteral("eth0");
    if (mac2.trimmed().isEmpty())
        unread << QStringLiteral("eth1");
    if (unread.size() == 1) {
        emit errorOccured(
            QStringLiteral("MAC-Adresse von %1 konnte nicht gelesen werden!").arg(unread.first()));
        return;
    }
    if (unread.size() == 2) {
        emit errorOccured(QStringLiteral("MAC-Adressen von eth0 und eth1 konnten nicht gelesen werden!"));
        return;
    }
    if (!m_flashSession) {
        emit errorOccured(QStringLiteral("Interner Fehler: kein Auftrag für die MAC-Zuweisung gesetzt."));
        return;
    }
    configManager->setFlashSession(m_flashSession);
    configManager->assignMacAddresses(m_flashSession->article(), m_flashSession->serialNumber(), mac1, mac2);
}

void AssignMacs::ResponseAssignMacs(QString warning)
{
    emit errorOccured(warning);
}
