#include "imagedownload.h"

#include "archiveunpacker.h"
#include "fileutils.h"
#include "stationtimings.h"
#include "transferfailure.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
// Bounds what Qt holds of the image in memory; a slow disk then throttles the transfer.
const qint64 readBufferSize = 1 << 20;
const QString partSuffix = QStringLiteral(".part");
} // namespace

ImageDownload::ImageDownload(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<ImageProgress>();
}

ImageDownload::~ImageDownload()
{
    clear();
}

QString ImageDownload::archivePath() const
{
    return FileUtils::inFolder(job.folder, job.archiveName);
}

bool ImageDownload::isRunning() const
{
    return reply != nullptr;
}

void ImageDownload::start(const Request& request)
{
    job = request;
    if (QFileInfo(archivePath()).isFile()) {
        emit finished(QString());
        return;
    }
    QUrl url = job.url;
    if (!job.userName.isEmpty() || !job.password.isEmpty()) {
        url.setUserName(job.userName);
        url.setPassword(job.password);
    }
    QNetworkRequest networkRequest(url);
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                QNetworkRequest::NoLessSafeRedirectPolicy);
    networkRequest.setRawHeader("accept", "application/tar");
    // The archive must arrive byte for byte as the server holds it, so that its size can be checked.
    networkRequest.setRawHeader("Accept-Encoding", "identity");
    networkRequest.setTransferTimeout(StationTimings::current().networkInactivityMs);
    written = 0;
    reply = manager.get(networkRequest);
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QNetworkReply::sslErrors, this,
            [this](const QList<QSslError>& errors) { TransferFailure::noteSslErrors(reply, errors); });
    connect(reply, &QNetworkReply::readyRead, this, &ImageDownload::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &ImageDownload::onFinished);
}

void ImageDownload::cancel()
{
    clear();
}

void ImageDownload::onReadyRead()
{
    writeData();
}

// Appends everything the reply holds to the temporary file; false (and the step ended
// with a warning) when the file cannot take it.
bool ImageDownload::writeData()
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() >= 300)) {
        reply->readAll(); // an error page, not part of the image
        return true;
    }
    if (reply->bytesAvailable() <= 0)
        return true;
    if (!file) {
        const QString dir = QFileInfo(archivePath()).absolutePath();
        if (!QDir(dir).exists()) {
            qWarning().noquote() << "create Image Path" << job.folder;
            if (!QDir().mkpath(dir)) {
                fail(QStringLiteral("Verzeichnis kann nicht angelegt werden: %1").arg(dir));
                return false;
            }
        }
        file = new QFile();
        if (!FileUtils::openNewFile(*file, archivePath() + partSuffix)) {
            fail(QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(archivePath()));
            return false;
        }
    }
    while (reply->bytesAvailable() > 0) {
        const QByteArray data = reply->readAll();
        if (data.isEmpty())
            break;
        if (file->write(data) != data.size()) {
            qWarning().noquote() << "Cannot write" << archivePath() + partSuffix << file->errorString();
            fail(QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(archivePath()));
            return false;
        }
        written += data.size();
    }
    ImageProgress step;
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    step.done = written;
    step.total = length.isValid() ? length.toLongLong() : -1;
    emit progress(step);
    return true;
}

void ImageDownload::onFinished()
{
    TransferFailure failure = TransferFailure::fromReply(reply);
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (failure.kind == TransferFailure::ConnectionCut) {
        failure.received = written;
        failure.total = length.isValid() ? length.toLongLong() : -1;
    }
    if (failure.failed()) {
        fail(operatorText(StationRequest::Image, failure));
        return;
    }
    if (!writeData())
        return;
    // Qt may repeat a GET cut short and end the second, also short, reply without error.
    if (!file || written == 0 || (length.isValid() && length.toLongLong() != written)) {
        failure.kind = TransferFailure::ConnectionCut;
        failure.host = job.url.host();
        failure.received = written;
        failure.total = length.isValid() ? length.toLongLong() : -1;
        fail(operatorText(StationRequest::Image, failure));
        return;
    }
    file->close();
    if (file->error() != QFileDevice::NoError ||
        !FileUtils::replaceFile(archivePath() + partSuffix, archivePath())) {
        fail(QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(archivePath()));
        return;
    }
    delete file; // the final name holds the archive now; nothing to remove
    file = nullptr;
    const QString archive = archivePath();
    clear();

    QString warning;
    if (!ArchiveUnpacker::unpackImageNow(archive, job.folder, &warning))
        qWarning().noquote() << warning;
    emit finished(warning);
}

void ImageDownload::fail(const QString& warning)
{
    qWarning().noquote() << warning;
    clear();
    emit finished(warning);
}

// Ends the running download: the reply goes, and a temporary file left goes with it.
void ImageDownload::clear()
{
    if (reply) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
        reply = nullptr;
    }
    if (file) {
        file->close();
        QFile::remove(archivePath() + partSuffix);
        delete file;
        file = nullptr;
    }
    written = 0;
}
