#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

class QFile;
class QNetworkReply;

// How far the image step is, for the flash dialog.
struct ImageProgress
{
    enum Phase
    {
        Downloading,
        Unpacking
    };
    Phase phase = Downloading;
    qint64 done = 0;   // bytes of the archive received (or unpacked), a resumed part included
    qint64 total = -1; // the archive's size, -1 while unknown
    double bytesPerSecond = 0;
    int secondsLeft = -1; // -1 while unknown
};
Q_DECLARE_METATYPE(ImageProgress)

// Makes one image ready for the flash script: the archive in the image folder and the
// .img it holds beside it. Ends exactly once with finished(), the warning empty on success.
class ImageDownload : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QUrl url; // the archive on the image server, without user info
        QString userName;
        QString password;
        QString folder;      // ImagePath
        QString archiveName; // e.g. nimbrel-4r0417-1.2.0-dev-img.tar.gz
        QString imageName;   // the .img the flash script is given, e.g. nimbrel-4r0417-1.2.0-dev.img
    };

    explicit ImageDownload(QObject* parent = nullptr);
    ~ImageDownload() override; // a running step is stopped

    void start(const Request& request);
    void cancel(); // stops the step; finished() is not emitted for it
    bool isRunning() const;

signals:
    void progress(const ImageProgress& progress);
    void finished(const QString& warning);

private:
    void onReadyRead();
    void onFinished();
    bool writeData();
    void fail(const QString& warning);
    void clear();
    QString archivePath() const;

    QNetworkAccessManager manager;
    Request job;
    QNetworkReply* reply = nullptr;
    QFile* file = nullptr;
    qint64 written = 0;
};
