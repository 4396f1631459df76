#pragma once

#include "imagedownload.h"
#include "transferfailure.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QString>

class FlashSession;
class QNetworkReply;
class QNetworkRequest;

// Client of the configuration-manager server's REST interface and of the image server.
// Every request ends with one signal whose warning text is empty exactly on success.
class ConfigManager : public QObject
{
    Q_OBJECT
public:
    explicit ConfigManager(QObject* parent = nullptr);
    ~ConfigManager() override;

    void setFlashSession(FlashSession* session);
    FlashSession* flashSession() const;

    void requestSpecs();
    void assignSerialNumber(const QString& article, const QString& version, const QString& emsSerialNumber);
    void assignMacAddresses(const QString& article, const QString& serialNumber, const QString& eth0Mac,
                            const QString& eth1Mac);
    void downloadConfig(const QString& article, const QString& serialNumber);
    void downloadAdditionals(const QString& article, const QString& serialNumber);
    void doDownloadImage(const QString& image, const QString& swVersion, const QString& imageFolder);
    void cancelImageDownload(); // no downloadImageComplete follows

    // Names of the image archive, shared with the flash step.
    static QString imageArchiveName(const QString& image, const QString& swVersion, const QString& snapDate,
                                    const QString& commitHash);
    static QString imageServerPath(const QString& image, const QString& swVersion, const QString& imageFolder,
                                   const QString& snapDate, const QString& commitHash);
    // How the last spec request of this run ended: not yet, with the list, or with this warning.
    struct SpecsOutcome
    {
        bool answered = false;
        QString warning;
    };
    static SpecsOutcome lastSpecsOutcome();

    // The serial number in a reply of the server, or empty when it holds none the station may use.
    static QString serialNumberOf(const QJsonValue& value);

signals:
    void downloadConfigComplete(QString warning);
    void downloadImageComplete(QString warning);
    void assingedSerialnummber(QString serialNumber, QString warning);
    void ResponseAssignMacs(QString warning);
    void downloadAdditionalsComplete(QString warning);
    void specsReceived(QString warning); // the spec list was replaced when the warning is empty
    void imageProgress(const ImageProgress& progress);

private slots:
    void downloadConfigFinished();
    void readSpec();
    void readSerialnumber();
    void readResponseAssignMacs();
    void downloadFinishedAdditionals();

private:
    QNetworkRequest configRequest(const QString& path, const QList<QPair<QString, QString>>& query) const;
    QNetworkReply* send(const QByteArray& verb, const QNetworkRequest& request, const QByteArray& body,
                        void (ConfigManager::*handler)());
    void downloadArchive(const QString& path, const QString& article, const QString& serialNumber,
                         const QString& localFile, void (ConfigManager::*handler)());
    void archiveFinished(QNetworkReply* reply, StationRequest kind, void (ConfigManager::*complete)(QString));
    bool archiveJobUsable(void (ConfigManager::*complete)(QString));
    QString failureWarning(QNetworkReply* reply, StationRequest kind, const TransferFailure& failure,
                           const QByteArray& body) const;

    QNetworkAccessManager manager;
    ImageDownload imageDownload;
    FlashSession* m_flashSession = nullptr;
};
