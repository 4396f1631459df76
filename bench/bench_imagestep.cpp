// Runs the station's image step once (ImageDownload: download, unpack, marker) in a real
// event loop and prints one line of figures:
//
//   bench_imagestep --url URL --user U --password P --dir DIR --archive NAME --image NAME
//   -> bytes=N download_s=S step_s=S peak_rss_kib=K longest_stall_ms=M
//
// download_s ends when the step reports that the whole archive is on disk; longest_stall_ms
// is the largest gap between the ticks of a 5 ms timer in this (the GUI) thread.

#include "imagedownload.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <cstdio>

namespace {
qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    for (const char* name : {"url", "user", "password", "dir", "archive", "image"})
        parser.addOption({QString::fromLatin1(name), QString::fromLatin1(name), QStringLiteral("value")});
    parser.process(app);

    ImageDownload::Request request;
    request.url = QUrl(parser.value(QStringLiteral("url")));
    request.userName = parser.value(QStringLiteral("user"));
    request.password = parser.value(QStringLiteral("password"));
    request.folder = parser.value(QStringLiteral("dir"));
    request.archiveName = parser.value(QStringLiteral("archive"));
    request.imageName = parser.value(QStringLiteral("image"));

    QElapsedTimer clock;
    qint64 lastTick = 0, longestStall = 0, downloadMs = -1, bytes = 0;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        longestStall = qMax(longestStall, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });
    ImageDownload step;
    QObject::connect(&step, &ImageDownload::progress, [&](const ImageProgress& progress) {
        bytes = progress.done;
        if (progress.phase == ImageProgress::Unpacking && downloadMs < 0)
            downloadMs = clock.elapsed();
    });
    int exitCode = 0;
    QObject::connect(&step, &ImageDownload::finished, [&](const QString& warning) {
        const qint64 stepMs = clock.elapsed();
        longestStall = qMax(longestStall, stepMs - lastTick);
        if (!warning.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(warning));
            exitCode = 1;
        }
        std::printf("bytes=%lld download_s=%.3f step_s=%.3f peak_rss_kib=%lld longest_stall_ms=%lld\n", bytes,
                    downloadMs / 1000.0, stepMs / 1000.0, peakResidentKiB(), longestStall);
        app.exit(exitCode);
    });
    QTimer::singleShot(0, [&] {
        clock.start();
        ticks.start(5);
        step.start(request);
    });
    app.exec();
    return exitCode;
}
