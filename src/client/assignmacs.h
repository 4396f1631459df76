#pragma once

#include "processresult.h"

#include <QFutureWatcher>
#include <QObject>
#include <QString>

class ConfigManager;
class FlashSession;

// Reads the device's two MAC addresses one after the other in the thread pool and has
// the configuration manager record them. The outcome arrives once, through errorOccured.
class AssignMacs : public QObject
{
    Q_OBJECT
public:
    explicit AssignMacs(QObject* parent = nullptr);
    ~AssignMacs() override;

    void setFlashSession(FlashSession* session);
    FlashSession* flashSession() const;

    // Runs the MAC script for one interface; the address it wrote to standard error,
    // empty when it could not be read. Needs no object; runs in a pool thread.
    static QString readMac(QString interfaceName);
    // The one MAC address in a script's output, as written; empty when there is none or more than one.
    static QString macAddressIn(const QString& text);
    // Set by the owner when it closes: the reads still running end.
    void setCancelToken(const CancelToken& token);

signals:
    void errorOccured(QString warning);

public slots:
    void run();
    void ResponseAssignMacs(QString warning);

private slots:
    void receivedMAC1();
    void receivedMAC2();

private:
    static QString readMacWith(QString python, QString script, QString interfaceName, CancelToken cancel);
    QFuture<QString> startRead(const QString& interfaceName) const;

    ConfigManager* configManager;
    FlashSession* m_flashSession = nullptr;
    QFutureWatcher<QString> eth0Watcher;
    QFutureWatcher<QString> eth1Watcher;
    // Each read is handled once, although its watcher reports both canceled and finished.
    bool eth0Pending = false;
    bool eth1Pending = false;
    CancelToken cancel;
};
