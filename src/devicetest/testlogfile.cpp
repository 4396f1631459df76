#include "testlogfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestLogFile {

namespace {
// The folder with its links resolved; empty for a missing folder and for an empty setting,
// which QDir would read as the working directory.
QString existingFolder(const QString& folder)
{
    const QFileInfo info(folder);
    return folder.trimmed().isEmpty() || !info.isDir() ? QString() : info.canonicalFilePath();
}

QString shownPath(const QString& folder)
{
    return folder.trimmed().isEmpty() ? QStringLiteral("(TestLogPath is empty)")
                                      : QDir(folder).absolutePath();
}

// Opens the entry `name` of `folder` into `file`: only a regular file with no other name,
// reached without a link. Opened relative to the folder itself, so it cannot lie elsewhere
// even if the name was swapped since it was listed.
bool openInside(QFile& file, const QString& folder, const QString& name, int flags, QIODevice::OpenMode mode)
{
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const int fd =
        ::openat(dir, QFile::encodeName(name).constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(dir);
    if (fd < 0)
        return false;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
        !file.open(fd, mode | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

// Regular files only, links left out, newest first.
QFileInfoList newestFirst(const QString& folder, QDir::Filters also)
{
    return QDir(folder).entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot | also,
                                      QDir::Time);
}
} // namespace

bool append(const QString& folder, const QString& text)
{
    const QString inside = existingFolder(folder);
    if (inside.isEmpty()) {
        qWarning().noquote() << "Directory does not exist:" << shownPath(folder);
        return false;
    }
    const QFileInfoList files = newestFirst(inside, {});
    if (files.isEmpty()) {
        qWarning().noquote() << "No files found in directory:" << shownPath(folder);
        return false;
    }
    QFile file;
    if (!openInside(file, inside, files.first().fileName(), O_WRONLY | O_APPEND, QIODevice::WriteOnly)) {
        qWarning().noquote() << "Failed to open file for writing:" << files.first().absoluteFilePath();
        return false;
    }
    const QByteArray bytes = (text + QLatin1Char('\n')).toUtf8();
    return file.write(bytes) == bytes.size();
}

QString readLatest(const QString& folder)
{
    const QString inside = existingFolder(folder);
    if (inside.isEmpty())
        return QString();
    const QFileInfoList entries = newestFirst(inside, QDir::Dirs);
    QFile file;
    if (entries.isEmpty() || entries.first().isDir() ||
        !openInside(file, inside, entries.first().fileName(), O_RDONLY, QIODevice::ReadOnly))
        return QString();

    QString shown;
    const qint64 size = file.size();
    if (size > maxShownBytes) {
        shown = QStringLiteral("… Test-Log gekürzt: nur das letzte 1 MiB von %1 wird angezeigt …\n")
                    .arg(entries.first().fileName());
        file.seek(size - maxShownBytes);
    }
    QByteArray bytes = file.read(maxShownBytes);
    // The cut may fall inside a character; its trailing bytes alone are no text.
    while (size > maxShownBytes && !bytes.isEmpty() && (static_cast<uchar>(bytes.at(0)) & 0xC0) == 0x80)
        bytes.remove(0, 1);
    QString text = QString::fromUtf8(bytes);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    return shown + text;
}

} // namespace TestLogFile
