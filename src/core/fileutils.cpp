#include "fileutils.h"

#include "flashsession.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace FileUtils {

namespace {
bool removeTree(const QString& path)
{
    QDir dir(path);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::DirsFirst);
    for (const QFileInfo& entry : entries) {
        const bool removed = entry.isDir() && !entry.isSymLink() ? removeTree(entry.absoluteFilePath())
                                                                 : QFile::remove(entry.absoluteFilePath());
        if (!removed)
            return false;
    }
    return dir.rmdir(dir.absolutePath());
}

// The path with ".", ".." and the links along it resolved, as far as it exists; the rest appended.
QString resolved(const QString& path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString rest;
    while (!QFileInfo::exists(existing) && existing != QDir::rootPath()) {
        rest = QLatin1Char('/') + QFileInfo(existing).fileName() + rest;
        existing = QFileInfo(existing).absolutePath();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

bool isSameOrAbove(const QString& candidate, const QString& folder)
{
    return folder == candidate || candidate == QDir::rootPath() ||
           folder.startsWith(candidate + QLatin1Char('/'));
}

} // namespace

QString removalRefusal(const QString& path)
{
    if (path.trimmed().isEmpty())
        return QStringLiteral("an empty path");
    const QString target = resolved(path);
    if (target == QDir::rootPath())
        return QStringLiteral("the root folder");
    if (target == resolved(QDir::homePath()))
        return QStringLiteral("the home folder");
    if (isSameOrAbove(target, resolved(QDir::currentPath())))
        return QStringLiteral("the station's working directory or a folder above it");
    const QStringList keys{QStringLiteral("DeviceConfigPath"), QStringLiteral("ImagePath"),
                           QStringLiteral("LogPath"), QStringLiteral("TestLogPath"),
                           QStringLiteral("FlashScriptPath")};
    const QStringList folders{Settings::DeviceConfigPath(), Settings::ImagePath(), Settings::LogPath(),
                              Settings::TestLogPath(), Settings::FlashScriptPath()};
    for (int i = 0; i < keys.size(); ++i) {
        if (!folders.at(i).trimmed().isEmpty() && isSameOrAbove(target, resolved(folders.at(i))))
            return QStringLiteral("the folder of %1 or a folder above it").arg(keys.at(i));
    }
    return QString();
}

bool removeDir(const QString& path)
{
    const QString why = removalRefusal(path);
    if (!why.isEmpty()) {
        qWarning().noquote() << "removeDir: refusing to remove" << path << "-" << why;
        return false;
    }
    const QFileInfo info(path);
    const QString absolute = QDir::cleanPath(info.absoluteFilePath());
    if (info.isSymLink()) // the folder itself is a link: drop the link only
        return QFile::remove(absolute);
    if (!info.exists())
        return true;
    return removeTree(absolute);
}

QString extractionDirectory()
{
    // Cutting at the last "/" named the parent when the setting lacked its trailing "/".
    QString target = Settings::DeviceConfigTargetPath();
    while (target.size() > 1 && target.endsWith(QLatin1Char('/')))
        target.chop(1);
    return target;
}

void removeDeviceFiles(const FlashSession& session, bool includeAdditionals)
{
    removeDir(extractionDirectory());
    QStringList archives{session.configArchiveName()};
    if (includeAdditionals)
        archives << session.additionalsArchiveName();
    for (const QString& name : archives) {
        // A job record whose names were refused for the download must not delete elsewhere either.
        if (isSafeFileName(name))
            QFile::remove(inFolder(Settings::DeviceConfigPath(), name));
    }
}

bool isSafeFileName(const QString& name)
{
    return !name.contains(QLatin1Char('/')) && name != QLatin1String(".") && name != QLatin1String("..");
}

QString inFolder(const QString& folder, const QString& name)
{
    if (folder.isEmpty() || folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

int createNewFile(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    ::unlink(name.constData()); // a link or file planted here goes, never what it points to
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        qWarning().noquote() << "Cannot create" << path << ::strerror(errno);
    return fd;
}

bool openNewFile(QFile& file, const QString& path)
{
    const int fd = createNewFile(path);
    if (fd < 0)
        return false;
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool replaceFile(const QString& from, const QString& to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool isRegularFileInside(const QString& path, const QString& folder)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return false;
    const QString root = QFileInfo(folder).canonicalFilePath();
    return !root.isEmpty() && info.canonicalFilePath().startsWith(root + QLatin1Char('/'));
}

} // namespace FileUtils
