#pragma once

#include "processresult.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <thread>

// How far the image step is, for the flash dialog.
struct ImageProgress
{
    enum Phase
    {
        Downloading,
        Unpacking // the download is over (or was not needed); tar still works
    };
    Phase phase = Downloading;
    qint64 done = 0;           // bytes of the archive received, a resumed part included
    qint64 total = -1;         // the archive's size, -1 while unknown
    qint64 unpacked = 0;       // bytes of the archive tar has taken
    double bytesPerSecond = 0; // of the download, and then of the unpack
    int secondsLeft = -1;      // of the phase; -1 while unknown
};
Q_DECLARE_METATYPE(ImageProgress)

// Makes one image ready for the flash script: the archive in the image folder and the
// .img it holds beside it. The work runs in a thread of its own; the window only hears of
// its progress. Ends exactly once with finished(), the warning empty on success.
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
    // Stops the step (download and tar); a partial archive stays for the next attempt.
    // finished() is not emitted for it.
    void cancel();
    bool isRunning() const { return running; }

signals:
    void progress(const ImageProgress& progress);
    void finished(const QString& warning);

private:
    void onStepEnded(quint64 step, const QString& warning);
    void join();

    std::thread worker;
    CancelToken cancelToken;
    quint64 step = 0; // the running step; reports of an earlier, cancelled one are dropped
    bool running = false;
};
