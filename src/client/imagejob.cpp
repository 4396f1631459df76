#include "imagejob.h"

#include "archiveunpacker.h"
#include "fileutils.h"
#include "processrunner.h"
#include "stationtimings.h"
#include "transferfailure.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString partSuffix = QStringLiteral(".part");
const QString validatorSuffix = QStringLiteral(".part.validator");
const QString markerSuffix = QStringLiteral(".unpacked");
const int waitSliceMs = 50; // how soon a cancel or the station's end is seen
const qint64 reportEveryMs = 100;
const qint64 spliceChunk = 1 << 20;

QString badReplyText()
{
    TransferFailure failure;
    failure.kind = TransferFailure::BadReply;
    return operatorText(StationRequest::Image, failure);
}

QString writeText(const QString& path)
{
    return QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(path);
}

// What the marker says: the archive and the .img as they were when the unpack finished.
QByteArray markerText(qint64 archiveSize, const QString& imageName, qint64 imageSize)
{
    return QStringLiteral("archive-size=%1\nimage=%2\nimage-size=%3\n")
        .arg(archiveSize)
        .arg(imageName)
        .arg(imageSize)
        .toUtf8();
}

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (QFileInfo(path).isSymLink() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(4096);
}

bool writeSmallFile(const QString& path, const QByteArray& text)
{
    const QString temporary = path + QStringLiteral(".new");
    const int fd = FileUtils::createNewFile(temporary);
    if (fd < 0)
        return false;
    const bool written =
        ::write(fd, text.constData(), size_t(text.size())) == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || !FileUtils::replaceFile(temporary, path)) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}

void syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// "bytes 100-199/200": the first byte and the whole size (-1 when the server gives "*").
bool parseContentRange(const QByteArray& value, qint64* first, qint64* size)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return false;
    const int dash = text.indexOf('-'), slash = text.indexOf('/');
    if (dash < 0 || slash < dash)
        return false;
    bool ok = false;
    *first = text.mid(6, dash - 6).trimmed().toLongLong(&ok);
    const QByteArray whole = text.mid(slash + 1).trimmed();
    *size = whole == "*" ? -1 : whole.toLongLong();
    return ok;
}

// The unpack has to keep up with a fast link: igzip (isal) inflates about 2.5 times as fast as
// pigz here, and pigz faster than gzip; the first one installed does it.
QStringList decompressorOptions()
{
    for (const QString& program : {QStringLiteral("igzip"), QStringLiteral("pigz")}) {
        if (!QStandardPaths::findExecutable(program).isEmpty())
            return {QStringLiteral("-I"), program};
    }
    return {QStringLiteral("-z")};
}
} // namespace

ImageJob::ImageJob(const ImageDownload::Request& request, const CancelToken& cancel,
                   const ProgressSink& progress)
    : job(request), cancel(cancel), progress(progress)
{
}

ImageJob::~ImageJob()
{
    stopFlusher();
    if (file >= 0)
        ::close(file);
}

QString ImageJob::path(const QString& suffix) const
{
    return FileUtils::inFolder(job.folder, job.archiveName) + suffix;
}

QString ImageJob::imagePath() const
{
    return FileUtils::inFolder(job.folder, job.imageName);
}

bool ImageJob::isPrepared(const ImageDownload::Request& request)
{
    const QString archive = FileUtils::inFolder(request.folder, request.archiveName);
    const QString image = FileUtils::inFolder(request.folder, request.imageName);
    const QFileInfo archiveInfo(archive);
    if (!archiveInfo.isFile() || archiveInfo.isSymLink() ||
        !FileUtils::isRegularFileInside(image, request.folder))
        return false;
    return readSmallFile(archive + markerSuffix) ==
           markerText(archiveInfo.size(), request.imageName, QFileInfo(image).size());
}

// A killed station leaves its unpack folder behind; it would only fill the disk.
void ImageJob::removeLeftovers() const
{
    const QString prefix = QLatin1Char('.') + job.archiveName + QStringLiteral(".unpack-");
    const QFileInfoList entries =
        QDir(job.folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (!entry.fileName().startsWith(prefix))
            continue;
        qDebug().noquote() << "Removing the leftover" << entry.absoluteFilePath();
        if (entry.isDir() && !entry.isSymLink())
            FileUtils::removeDir(entry.absoluteFilePath());
        else
            QFile::remove(entry.absoluteFilePath());
    }
}

QString ImageJob::run()
{
    // A write to a tar that has ended, or past a file-size limit, must fail, not end the station.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGPIPE);
    sigaddset(&blocked, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    clock.start();

    if (!QDir().mkpath(job.folder))
        return QStringLiteral("Verzeichnis kann nicht angelegt werden: %1").arg(job.folder);
    removeLeftovers();
    if (isPrepared(job))
        return QString();
    // Whatever the marker does not vouch for may be half: it is made anew.
    QFile::remove(path(markerSuffix));
    QFile::remove(imagePath());
    const QFileInfo archive(path());
    if (archive.isFile() && !archive.isSymLink()) {
        qDebug().noquote() << "Unpacking again, its unpack never finished:" << path();
        file = ::open(QFile::encodeName(path()).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        onDisk = total = archive.size();
        archiveComplete = true;
        if (file < 0 || !startTar())
            return failure.isEmpty() ? ArchiveUnpacker::brokenText(path()) : failure;
    } else {
        QFile::remove(path());
        if (!startDownload())
            return failure;
    }
    return loop();
}

bool ImageJob::startDownload()
{
    validator = readSmallFile(path(validatorSuffix)).trimmed();
    const QFileInfo part(path(partSuffix));
    if (!validator.isEmpty() && part.isFile() && !part.isSymLink() && part.size() > 0)
        file = ::open(QFile::encodeName(path(partSuffix)).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (file >= 0) {
        from = onDisk = ::lseek(file, 0, SEEK_END);
        qDebug().noquote() << "Resuming" << job.archiveName << "at byte" << from;
    } else {
        // A part without the server's validator cannot be resumed safely.
        QFile::remove(path(validatorSuffix));
        validator.clear();
        file = FileUtils::createNewFile(path(partSuffix));
        if (file < 0) {
            failure = writeText(path());
            return false;
        }
    }
    downloading = true;
    if (!transfer.start(job.url, job.userName, job.password, from, validator,
                        [this](const char* data, size_t size) { return onBody(data, size); })) {
        failure = QStringLiteral("Image-Download: Netzwerkfehler");
        return false;
    }
    return true;
}

bool ImageJob::onBody(const char* data, size_t size)
{
    if (!bodyStarted && !beginBody())
        return false;
    if (!writeAll(file, data, size)) {
        qWarning().noquote() << "Cannot write" << path(partSuffix) << ::strerror(errno);
        writeFailed = true;
        return false;
    }
    onDisk += qint64(size);
    return true;
}

// The reply is known to be the image: decides what the part on disk is worth, then unpacks.
bool ImageJob::beginBody()
{
    bodyStarted = true;
    const ImageTransfer::Response& reply = transfer.response();
    if (reply.status == 206) {
        qint64 first = -1;
        if (!parseContentRange(reply.contentRange, &first, &total) || first != from) {
            qWarning().noquote() << "Image server sent the wrong range:" << reply.contentRange << "for"
                                 << from;
            rangeMismatch = true;
            return false;
        }
    } else {
        if (from > 0) {
            qDebug().noquote() << "The archive changed on the server; downloading it from the start";
            if (::ftruncate(file, 0) != 0 || ::lseek(file, 0, SEEK_SET) != 0) {
                writeFailed = true;
                return false;
            }
            from = onDisk = 0;
        }
        total = reply.contentLength;
        // Only a strong ETag may guard a range; Last-Modified otherwise.
        validator = !reply.etag.isEmpty() && !reply.etag.startsWith("W/") ? reply.etag : reply.lastModified;
        if (validator.isEmpty())
            QFile::remove(path(validatorSuffix));
        else if (!writeSmallFile(path(validatorSuffix), validator))
            validator.clear();
    }
    return startTar();
}

bool ImageJob::startTar()
{
    const QByteArray folderTemplate = QFile::encodeName(
        FileUtils::inFolder(job.folder, QLatin1Char('.') + job.archiveName + ".unpack-XXXXXX"));
    QByteArray name = folderTemplate;
    if (!::mkdtemp(name.data())) {
        failure = QStringLiteral("Verzeichnis kann nicht angelegt werden: %1").arg(job.folder);
        return false;
    }
    unpackFolder = QFile::decodeName(name);
    ProcessRequest request;
    // Not niced: the unpack is the longest part of the step, and at nice 10 it starved behind the download.
    request.program = QStringLiteral("tar");
    request.arguments = decompressorOptions();
    // The station runs as root: without these tar would hand out the archive's owners and modes.
    request.arguments << QStringLiteral("-xvvf") << QStringLiteral("-") << ArchiveUnpacker::listingOptions()
                      << QStringLiteral("--no-same-owner") << QStringLiteral("--no-same-permissions")
                      << QStringLiteral("-C") << unpackFolder;
    // The C locale makes tar escape every byte outside ASCII, so names are read back exactly.
    request.environment = QStringList{QStringLiteral("LC_ALL=C")};
    request.timeoutMs = StationTimings::current().imageExtractTimeoutMs;
    request.cancel = cancel;
    if (!tar.start(request)) {
        failure = ArchiveUnpacker::brokenText(path());
        return false;
    }
    startFlusher();
    return true;
}

// The image goes to the disk while tar still writes it, so that the sync before the marker
// waits only for its last part.
void ImageJob::startFlusher()
{
    const QByteArray image = QFile::encodeName(FileUtils::inFolder(unpackFolder, job.imageName));
    flushing = true;
    flusher = std::thread([this, image] {
        int fd = -1;
        std::unique_lock<std::mutex> lock(flushLock);
        while (flushing) {
            if (fd < 0) {
                fd = ::open(image.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
                struct stat info;
                if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
                    ::close(fd); // whatever it is, tar's listing refuses it
                    fd = -1;
                }
            }
            if (fd >= 0) {
                lock.unlock();
                ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
                lock.lock();
            }
            flushWake.wait_for(lock, std::chrono::milliseconds(250), [this] { return !flushing; });
        }
        if (fd >= 0)
            ::close(fd);
    });
}

void ImageJob::stopFlusher()
{
    {
        std::lock_guard<std::mutex> lock(flushLock);
        flushing = false;
    }
    flushWake.notify_all();
    if (flusher.joinable())
        flusher.join();
}

QString ImageJob::loop()
{
    const int inactivityMs = StationTimings::current().networkInactivityMs;
    while (true) {
        if (cancel->load() || ProcessRunner::stoppingAll()) {
            qDebug().noquote() << "Image step stopped; the part stays for the next attempt";
            stopAll();
            return QString();
        }
        if (transfer.isRunning()) {
            transfer.perform();
            if (transfer.isRunning() && transfer.msSinceActivity() > inactivityMs) {
                qWarning().noquote() << "Image server silent for" << inactivityMs << "ms";
                transfer.abort();
            }
            if (!transfer.isRunning())
                afterDownload();
        }
        if (failure.isEmpty() && (tar.isRunning() || tar.outputFd() >= 0))
            pumpTar();
        if (!failure.isEmpty())
            return failure;
        if (archiveComplete && tarDone)
            return complete();
        report(false);

        std::vector<pollfd> fds;
        if (tar.outputFd() >= 0)
            fds.push_back(pollfd{tar.outputFd(), POLLIN, 0});
        if (tar.errorFd() >= 0)
            fds.push_back(pollfd{tar.errorFd(), POLLIN, 0});
        if (tar.inputFd() >= 0 && fed < onDisk)
            fds.push_back(pollfd{tar.inputFd(), POLLOUT, 0});
        transfer.wait(fds, waitSliceMs);
    }
}

void ImageJob::afterDownload()
{
    downloading = false;
    TransferFailure result = transfer.failure();
    if (!result.failed() && !bodyStarted)
        beginBody(); // a 2xx without a body: tar tells that it is no archive
    if (!failure.isEmpty() || writeFailed || rangeMismatch) {
        fail(!failure.isEmpty() ? failure : writeFailed ? writeText(path()) : badReplyText(), true);
        return;
    }
    if (result.kind == TransferFailure::HttpStatus && result.httpStatus == 416 && from > 0) {
        qDebug().noquote() << "The server cannot resume" << job.archiveName
                           << "- downloading it from the start";
        ::close(file);
        file = -1;
        QFile::remove(path(partSuffix));
        QFile::remove(path(validatorSuffix));
        from = onDisk = 0;
        bodyStarted = false;
        if (!startDownload())
            fail(failure, true);
        return;
    }
    if (!result.failed() && total >= 0 && onDisk != total)
        result.kind = TransferFailure::ConnectionCut;
    if (result.failed()) {
        if (result.kind == TransferFailure::ConnectionCut) {
            const qint64 announced = transfer.response().contentLength;
            result.received = onDisk;
            result.total = total >= 0 ? total : announced >= 0 ? from + announced : -1;
        }
        // Kept for a resumed request; without a validator it could never be trusted.
        const bool resumable = !validator.isEmpty() && onDisk > 0;
        if (!resumable)
            QFile::remove(path(partSuffix));
        stopAll();
        ended = true;
        failure = operatorText(StationRequest::Image, result);
        qWarning().noquote() << failure;
        return;
    }
    if (!FileUtils::replaceFile(path(partSuffix), path())) {
        fail(writeText(path()), true);
        return;
    }
    QFile::remove(path(validatorSuffix));
    archiveComplete = true;
    qDebug().noquote() << "Image archive downloaded:" << path() << onDisk << "bytes";
    report(true); // the window shows the unpack from now on
}

void ImageJob::pumpTar()
{
    feedTar();
    readListing(false);
    if (!failure.isEmpty() || !tar.checkFinished())
        return;
    readListing(true);
    if (!failure.isEmpty())
        return;
    const ProcessResult result = tar.result();
    if (!result.succeeded()) {
        qWarning().noquote() << "tar" << path() << result.outcome() << QString::fromLocal8Bit(tarErrors);
        fail(ArchiveUnpacker::brokenText(path()), true);
        return;
    }
    tarDone = true;
}

// Hands tar what is on disk and not yet fed, without copying it through the station.
void ImageJob::feedTar()
{
    while (tar.inputFd() >= 0 && fed < onDisk) {
        loff_t offset = fed;
        const ssize_t n =
            ::splice(file, &offset, tar.inputFd(), nullptr, size_t(qMin(onDisk - fed, spliceChunk)),
                     SPLICE_F_NONBLOCK | SPLICE_F_MOVE);
        if (n > 0) {
            fed += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // tar stopped reading: its exit status tells whether it had all it needed.
        tar.closeInput();
        return;
    }
    if (tar.inputFd() >= 0 && archiveComplete && fed >= onDisk)
        tar.closeInput();
}

// Checks each member as tar names it, before anything else of the archive is trusted.
void ImageJob::readListing(bool finished)
{
    tar.readOutput(&listing);
    if (tarErrors.size() < 65536)
        tar.readError(&tarErrors);
    int end;
    while ((end = listing.indexOf('\n')) >= 0 || (finished && !listing.isEmpty())) {
        const QString line = QString::fromLatin1(end >= 0 ? listing.left(end) : listing);
        listing.remove(0, end >= 0 ? end + 1 : listing.size());
        const QString member = ArchiveUnpacker::refusedMember(line, 0);
        if (!member.isEmpty()) {
            qWarning().noquote() << "Refusing image archive" << path() << "for its member" << member;
            fail(ArchiveUnpacker::refusalText(member), true);
            return;
        }
    }
}

QString ImageJob::complete()
{
    const QString image = FileUtils::inFolder(unpackFolder, job.imageName);
    if (!FileUtils::isRegularFileInside(image, unpackFolder)) {
        fail(QStringLiteral("Image-Archiv enthält kein Image: %1").arg(path()), true);
        return failure;
    }
    stopFlusher();
    // A power loss must never leave a marker over an image whose data did not reach the disk.
    const int fd = ::open(QFile::encodeName(image).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fdatasync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    const qint64 imageSize = QFileInfo(image).size();
    if (!synced || !FileUtils::replaceFile(image, imagePath())) {
        fail(writeText(imagePath()), false);
        return failure;
    }
    syncFolder(job.folder);
    if (!writeSmallFile(path(markerSuffix), markerText(onDisk, job.imageName, imageSize))) {
        fail(writeText(path(markerSuffix)), false);
        return failure;
    }
    FileUtils::removeDir(unpackFolder);
    report(true);
    qDebug().noquote() << "Image ready:" << imagePath();
    return QString();
}

// Ends the step with a warning. dropArchive: the archive is wrong (refused, broken, cannot be
// written), so neither it nor its part may be used again.
void ImageJob::fail(const QString& warning, bool dropArchive)
{
    if (ended)
        return; // reported once: the first reason is the one that counts
    ended = true;
    failure = warning;
    qWarning().noquote() << warning;
    stopAll();
    if (dropArchive) {
        for (const QString& suffix : {QString(), partSuffix, validatorSuffix, markerSuffix})
            QFile::remove(path(suffix));
    }
}

void ImageJob::stopAll()
{
    transfer.abort();
    tar.stop();
    stopFlusher();
    if (!unpackFolder.isEmpty())
        FileUtils::removeDir(unpackFolder);
    unpackFolder.clear();
}

void ImageJob::report(bool force)
{
    const qint64 now = clock.elapsed();
    if (!force && lastReportMs >= 0 && now - lastReportMs < reportEveryMs)
        return;
    lastReportMs = now;
    ImageProgress step;
    step.phase = downloading ? ImageProgress::Downloading : ImageProgress::Unpacking;
    step.done = onDisk;
    step.total = total;
    step.unpacked = fed;
    // The rate of what the operator waits for now: the download, then the unpack.
    const qint64 counted = downloading ? onDisk : fed;
    if (sampledDownload != downloading)
        samples.clear();
    sampledDownload = downloading;
    samples.append({now, counted});
    while (samples.size() > 2 && now - samples.at(1).first >= 3000)
        samples.removeFirst();
    const qint64 spanMs = now - samples.first().first;
    if (spanMs >= 500)
        step.bytesPerSecond = double(counted - samples.first().second) * 1000.0 / double(spanMs);
    if (step.bytesPerSecond > 0 && total > 0)
        step.secondsLeft = int((double(total - counted) / step.bytesPerSecond) + 0.999);
    progress(step);
}
