#pragma once

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QString>

class FlashSession;
class QFile;
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

    // Names of the image archive, shared with the flash step.
    static QString imageArchiveName(const QString& image, const QString& swVersion, const QString& snapDate,
                                    const QString& commitHash);
    static QString imageServerPath(const QString& image, const QString& swVersion, const QString& imageFolder,
                                   const QString& snapDate, const QString& commitHash);

signals:
    void downloadConfigComplete(QString warning);
    void downloadImageComplete(QString warning);
    void assingedSerialnummber(QString serialNumber, QString warning);
    void ResponseAssignMacs(QString warning);
    void downloadAdditionalsComplete(QString warning);
    // Bytes of the image archive received so far and its size (-1 while unknown).
    void imageDownloadProgress(qint64 received, qint64 total);

private slots:
    void downloadConfigFinished();
    void downloadImageFinished();
    void onReadyRead();
    void readSpec();
    void readSerialnumber();
    void readResponseAssignMacs();
    void downloadFinishedAdditionals();

private:
    QNetworkRequest configRequest(const QString& path, const QList<QPair<QString, QString>>& query) const;
    void downloadArchive(const QString& path, const QString& article, const QString& serialNumber,
                         const QString& localFile, void (ConfigManager::*handler)());
    void archiveFinished(QNetworkReply* reply, void (ConfigManager::*complete)(QString));
    bool extractArchive(const QString& archivePath, const QString& targetDir, QString* warning);
    bool extractImageArchive(const QString& archivePath, const QString& targetDir, QString* warning);
    bool archiveJobUsable(void (ConfigManager::*complete)(QString));
    void logReplyError(QNetworkReply* reply) const;
    QString errorText(QNetworkReply* reply) const;
    QString errorWarning(QNetworkReply* reply, const QByteArray& body) const;

    // Image download: streamed to a temporary file beside the final one.
    bool writeImageData(QNetworkReply* reply);
    void failImageDownload(const QString& warning);
    void clearImageDownload();

    QNetworkAccessManager manager;
    FlashSession* m_flashSession = nullptr;
    QFile* imageFile = nullptr;
    QNetworkReply* imageReply = nullptr;
    QString imageTarget; // final name of the archive being downloaded
    qint64 imageBytesWritten = 0;
};
