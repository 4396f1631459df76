// Downloads one image archive through ConfigManager and reports throughput and peak memory.
//
//   bench_imagedownload --server http://127.0.0.1:PORT/ --dir DIR [--image NAME] [--version V] [--extract]
//
// Without --extract the unpacking is skipped (a tar that does nothing is put first on PATH),
// so the figures are those of the transfer to disk alone.

#include "configmanager.h"
#include "flashsession.h"
#include "settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
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

bool makeNoOpTar(const QString& dir)
{
    QFile tar(dir + QStringLiteral("/tar"));
    if (!tar.open(QIODevice::WriteOnly))
        return false;
    tar.write("#!/bin/sh\nexit 0\n");
    tar.close();
    return tar.setPermissions(tar.permissions() | QFileDevice::ExeOwner);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Its own settings file, never the station's.
    QCoreApplication::setOrganizationName(QStringLiteral("NimbrelBench"));
    QCoreApplication::setApplicationName(QStringLiteral("bench_imagedownload"));
    QTemporaryDir sandbox;
    if (!sandbox.isValid())
        return 2;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, sandbox.path());

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("server"), QStringLiteral("Image server base URL (loopback)."),
                      QStringLiteral("url")});
    parser.addOption(
        {QStringLiteral("dir"), QStringLiteral("Folder the archive is written to."), QStringLiteral("dir")});
    parser.addOption({QStringLiteral("image"), QStringLiteral("Image name."), QStringLiteral("name"),
                      QStringLiteral("nimbrel-bench")});
    parser.addOption({QStringLiteral("version"), QStringLiteral("Software version."),
                      QStringLiteral("version"), QStringLiteral("1.0.0-dev")});
    parser.addOption({QStringLiteral("extract"), QStringLiteral("Unpack the archive with the real tar.")});
    parser.process(app);
    const QUrl server = QUrl::fromUserInput(parser.value(QStringLiteral("server")));
    if (server.host() != QLatin1String("127.0.0.1") && server.host() != QLatin1String("::1") &&
        server.host() != QLatin1String("localhost")) {
        std::fprintf(stderr, "bench_imagedownload: --server must be a loopback URL\n");
        return 2;
    }
    if (!parser.isSet(QStringLiteral("dir"))) {
        std::fprintf(stderr, "bench_imagedownload: --dir is required\n");
        return 2;
    }
    if (!parser.isSet(QStringLiteral("extract"))) {
        if (!makeNoOpTar(sandbox.path()))
            return 2;
        qputenv("PATH", QFile::encodeName(sandbox.path()) + ':' + qgetenv("PATH"));
    }

    Settings settings;
    Settings::setValue(QStringLiteral("ImageServerURL"), server.toString());
    Settings::setValue(QStringLiteral("EndpointURL"), server.toString());
    Settings::setValue(QStringLiteral("ImagePath"), parser.value(QStringLiteral("dir")) + QLatin1Char('/'));

    FlashSession session;
    session.setImage(parser.value(QStringLiteral("image")));
    session.setSwVersion(parser.value(QStringLiteral("version")));
    ConfigManager client;
    client.setFlashSession(&session);

    QElapsedTimer clock;
    qint64 transferMs = -1;
    qint64 bytes = 0;
    QString warning;
    QObject::connect(&client, &ConfigManager::imageProgress, [&](const ImageProgress& progress) {
        bytes = progress.done;
        if (progress.done == progress.total)
            transferMs = clock.elapsed();
    });
    QObject::connect(&client, &ConfigManager::downloadImageComplete, [&](const QString& text) {
        warning = text;
        app.quit();
    });
    clock.start();
    client.doDownloadImage(session.image(), session.swVersion(), session.image());
    app.exec();
    const qint64 totalMs = clock.elapsed();
    if (transferMs < 0)
        transferMs = totalMs;

    const double seconds = transferMs / 1000.0;
    std::printf("bytes=%lld seconds=%.3f mib_per_s=%.1f peak_rss_kib=%lld total_seconds=%.3f\n",
                static_cast<long long>(bytes), seconds, seconds > 0 ? bytes / 1048576.0 / seconds : 0.0,
                static_cast<long long>(peakResidentKiB()), totalMs / 1000.0);
    if (!warning.isEmpty()) {
        std::fprintf(stderr, "bench_imagedownload: %s\n", qPrintable(warning));
        return 1;
    }
    return 0;
}
