#include "imagedownload.h"

#include "imagejob.h"

#include <QDebug>

ImageDownload::ImageDownload(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<ImageProgress>();
}

ImageDownload::~ImageDownload()
{
    if (cancelToken)
        cancelToken->store(true);
    join(); // the worker reports to this object: it must be gone first
}

void ImageDownload::join()
{
    if (worker.joinable())
        worker.join();
}

void ImageDownload::start(const Request& request)
{
    if (ImageJob::isPrepared(request)) {
        emit finished(QString());
        return;
    }
    join(); // a cancelled step winds down within a few milliseconds
    cancelToken = makeCancelToken();
    running = true;
    const quint64 current = ++step;
    const CancelToken token = cancelToken;
    worker = std::thread([this, request, token, current] {
        QString warning;
        { // gone before the end is reported: closing a removed archive frees its blocks, which takes time
            ImageJob job(request, token, [this, current](const ImageProgress& progress) {
                QMetaObject::invokeMethod(
                    this,
                    [this, current, progress] {
                        if (current == step && running)
                            emit this->progress(progress);
                    },
                    Qt::QueuedConnection);
            });
            warning = job.run();
        }
        QMetaObject::invokeMethod(
            this, [this, current, warning] { onStepEnded(current, warning); }, Qt::QueuedConnection);
    });
}

void ImageDownload::cancel()
{
    if (!running)
        return;
    qDebug() << "Image step cancelled";
    running = false;
    cancelToken->store(true);
}

void ImageDownload::onStepEnded(quint64 ended, const QString& warning)
{
    if (ended != step || !running)
        return;
    running = false;
    join();
    emit finished(warning);
}
