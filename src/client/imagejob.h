#pragma once

#include "imagedownload.h"
#include "imagetransfer.h"
#include "pipeprocess.h"
#include "processresult.h"

#include <QElapsedTimer>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// The image step itself, run to its end in one worker thread: the archive is downloaded
// (resumed where a lost connection left it) and fed to tar as it arrives, from the part on
// disk, so that a slow unpack never holds the download back. The .img appears under its
// final name only when the whole archive unpacked, and a marker beside the archive then
// records that; anything less leaves nothing that a later flash could take for an image.
class ImageJob
{
public:
    using ProgressSink = std::function<void(const ImageProgress&)>;

    ImageJob(const ImageDownload::Request& request, const CancelToken& cancel, const ProgressSink& progress);
    ~ImageJob();

    // The warning for the operator, empty on success. A cancelled step keeps the partial
    // archive for the next attempt; its result means nothing.
    QString run();

    // The archive, its .img and the marker of their finished unpack are there.
    static bool isPrepared(const ImageDownload::Request& request);

private:
    QString path(const QString& suffix = QString()) const;
    QString imagePath() const;
    void removeLeftovers() const;
    bool startDownload();
    bool onBody(const char* data, size_t size);
    bool beginBody();
    bool startTar();
    void startFlusher();
    void stopFlusher();
    QString loop();
    void afterDownload();
    void pumpTar();
    void feedTar();
    void readListing(bool finished);
    QString complete();
    void fail(const QString& warning, bool dropArchive);
    void stopAll();
    void report(bool force);

    ImageDownload::Request job;
    CancelToken cancel;
    ProgressSink progress;
    ImageTransfer transfer;
    PipeProcess tar;
    QString failure;
    bool ended = false; // fail() ran: the step has its one warning
    QString unpackFolder;
    int file = -1;        // the archive, or its part while it downloads
    qint64 from = 0;      // where this request starts in the archive
    qint64 onDisk = 0;    // bytes of the archive written so far
    qint64 total = -1;    // the archive's size, -1 while unknown
    qint64 fed = 0;       // bytes of the archive handed to tar
    QByteArray validator; // If-Range for a resumed request
    bool downloading = false;
    bool bodyStarted = false;
    bool writeFailed = false;
    bool rangeMismatch = false;
    bool archiveComplete = false;
    bool tarDone = false;
    QByteArray listing; // tar's listing, up to the first incomplete line
    QByteArray tarErrors;
    QElapsedTimer clock;
    qint64 lastReportMs = -1;
    QList<QPair<qint64, qint64>> samples; // (ms, bytes) for the rate
    bool sampledDownload = true;
    std::thread flusher;
    std::mutex flushLock;
    std::condition_variable flushWake;
    bool flushing = false;
};
