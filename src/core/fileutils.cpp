#include "fileutils.h"

#include "flashsession.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
} // namespace

bool removeDir(const QString& path)
{
    if (path.trimmed().isEmpty()) {
        qWarning() << "removeDir: refusing to remove an empty path";
        return false;
    }
    const QFileInfo info(path);
    const QString absolute = QDir::cleanPath(info.absoluteFilePath());
    if (absolute == QDir::rootPath() || absolute == QDir::cleanPath(QDir::currentPath())) {
        qWarning() << "removeDir: refusing to remove" << absolute;
        return false;
    }
    if (info.isSymLink()) // the folder itself is a link: drop the link only
        return QFile::remove(absolute);
    if (!info.exists())
        return true;
    return removeTree(absolute);
}

QString extractionDirectory()
{
    const QString target = Settings::DeviceConfigTargetPath();
    const int lastSlash = target.lastIndexOf(QLatin1Char('/'));
    return lastSlash < 0 ? target : target.left(lastSlash);
}

void removeDeviceFiles(const FlashSession& session, bool includeAdditionals)
{
    removeDir(extractionDirectory());
    const QString configPath = Settings::DeviceConfigPath();
    QFile::remove(configPath + session.configArchiveName());
    if (includeAdditionals)
        QFile::remove(configPath + session.additionalsArchiveName());
}

bool isSafeFileName(const QString& name)
{
    return !name.contains(QLatin1Char('/')) && name != QLatin1String(".") && name != QLatin1String("..");
}

} // namespace FileUtils
