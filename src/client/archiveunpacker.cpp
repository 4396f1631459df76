#include "archiveunpacker.h"

#include "asyncprocess.h"
#include "stationtimings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// The C locale makes tar escape every byte outside ASCII, so names are read back exactly.
const QStringList tarEnvironment{QStringLiteral("LC_ALL=C")};

// Reads a name that tar printed in C quoting ("a \"b\" \303\244") from `from`; returns the
// position after its closing quote, or -1.
int readQuoted(const QString& line, int from, QString* text)
{
    if (from < 0 || from >= line.size() || line.at(from) != QLatin1Char('"'))
        return -1;
    QByteArray bytes;
    for (int i = from + 1; i < line.size(); ++i) {
        const char c = line.at(i).toLatin1();
        if (c == '"') {
            *text = QString::fromUtf8(bytes);
            return i + 1;
        }
        if (c != '\\' || i + 1 >= line.size()) {
            bytes.append(c);
            continue;
        }
        const char e = line.at(++i).toLatin1();
        if (e >= '0' && e <= '7') {
            int value = 0;
            int digits = 0;
            while (digits < 3 && i < line.size() && line.at(i) >= QLatin1Char('0') && line.at(i) <= QLatin1Char('7')) {
                value = value * 8 + (line.at(i).toLatin1() - '0');
                ++i;
                ++digits;
            }
            --i;
            bytes.append(char(value));
            continue;
        }
        static const QByteArray from_ = "abfnrtv", to = "\a\b\f\n\r\t\v";
        const int mapped = from_.indexOf(e);
        bytes.append(mapped >= 0 ? to.at(mapped) : e);
    }
    return -1;
}

// True when `target`, taken from the folder `base` (a list of path components inside the
// unpack folder), stays inside that folder.
bool staysInside(QStringList base, const QString& target)
{
    if (target.startsWith(QLatin1Char('/')))
        return false;
    for (const QString& part : target.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (base.isEmpty())
                return false;
            base.removeLast();
            continue;
        }
        base.append(part);
    }
    return true;
}

// The names tar printed with -v, for removing what a failed run left behind.
QStringList listedNames(const QByteArray& listing)
{
    QStringList names;
    for (const QString& line : QString::fromLatin1(listing).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QString name;
        if (readQuoted(line, line.indexOf(QLatin1Char('"')), &name) > 0)
            names << name;
    }
    return names;
}

// tar leaves behind what it began; a file cut short must not be taken for a good one later.
// Only regular files that really lie inside the target go; links are never followed.
void removeUnpacked(const QStringList& members, const QString& targetDir, int strip)
{
    const QString root = QFileInfo(targetDir).canonicalFilePath();
    if (root.isEmpty())
        return;
    for (const QString& member : members) {
        QStringList parts = member.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (parts.size() <= strip || parts.contains(QStringLiteral("..")))
            continue;
        parts = parts.mid(strip);
        const QFileInfo unpacked(root + QLatin1Char('/') + parts.join(QLatin1Char('/')));
        if (unpacked.isFile() && !unpacked.isSymLink() &&
            unpacked.canonicalFilePath().startsWith(root + QLatin1Char('/')))
            QFile::remove(unpacked.absoluteFilePath());
    }
}

ProcessRequest tarRequest(const QStringList& arguments, int timeoutMs)
{
    ProcessRequest request;
    request.program = QStringLiteral("tar");
    request.arguments = arguments;
    request.environment = tarEnvironment;
    request.timeoutMs = timeoutMs;
    return request;
}

ProcessRequest listingRequest(const QString& archive, int timeoutMs)
{
    // Listed with names as the archive gives them (-P): tar would print a hard link's "../" or
    // leading "/" already removed, hiding what the check must see. Only a listing; it writes nothing.
    return tarRequest(QStringList{QStringLiteral("-tvvPf"), archive} + ArchiveUnpacker::listingOptions(),
                      timeoutMs);
}

ProcessRequest unpackRequest(const QString& archive, const QString& targetDir, int strip, int timeoutMs)
{
    QStringList arguments{QStringLiteral("-xvf"), archive};
    if (strip > 0)
        arguments << QStringLiteral("--strip") << QString::number(strip);
    // The station runs as root: without these tar would hand out the archive's owners and modes.
    arguments << QStringLiteral("-C") << targetDir << QStringLiteral("--no-same-owner")
              << QStringLiteral("--no-same-permissions") << QStringLiteral("--quoting-style=c");
    return tarRequest(arguments, timeoutMs);
}

QString firstRefusal(const QByteArray& listing, int strip)
{
    for (const QString& line : QString::fromLatin1(listing).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString member = ArchiveUnpacker::refusedMember(line, strip);
        if (!member.isEmpty())
            return member;
    }
    return QString();
}

void logTar(const QString& archive, const ProcessResult& result)
{
    qWarning().noquote() << "tar" << archive << result.outcome() << QString::fromLocal8Bit(result.standardError);
}
} // namespace

ArchiveUnpacker::ArchiveUnpacker(QObject* parent) : QObject(parent) {}

ArchiveUnpacker::~ArchiveUnpacker() = default; // the process is a child: deleting it stops tar

QStringList ArchiveUnpacker::listingOptions()
{
    return QStringList{QStringLiteral("--quoting-style=c"), QStringLiteral("--numeric-owner")};
}

QString ArchiveUnpacker::brokenText(const QString& archive)
{
    return QStringLiteral("Entpacken fehlgeschlagen: %1").arg(archive);
}

QString ArchiveUnpacker::refusalText(const QString& member)
{
    return QStringLiteral("Unzulässiger Archivinhalt: %1").arg(member);
}

QString ArchiveUnpacker::refusedMember(const QString& line, int strip)
{
    QString name;
    const int afterName = readQuoted(line, line.indexOf(QLatin1Char('"')), &name);
    if (line.isEmpty() || afterName < 0)
        return line.isEmpty() ? QString() : line; // a line that cannot be read is not trusted
    const QChar type = line.at(0);
    QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (name.startsWith(QLatin1Char('/')) || parts.contains(QStringLiteral("..")))
        return name;
    if (parts.size() <= strip) // tar drops it
        return QString();
    parts = parts.mid(strip);
    if (type == QLatin1Char('-') || type == QLatin1Char('d') || type == QLatin1Char('C'))
        return QString();
    QString target;
    const QString rest = line.mid(afterName);
    if (type == QLatin1Char('l') && rest.startsWith(QLatin1String(" -> ")) &&
        readQuoted(rest, 4, &target) > 0) {
        parts.removeLast(); // a link's target is taken from the folder it lies in
        return staysInside(parts, target) ? QString() : name;
    }
    // A hard link names another member; tar strips its target as it strips names.
    if (type == QLatin1Char('h') && rest.startsWith(QLatin1String(" link to ")) &&
        readQuoted(rest, 9, &target) > 0) {
        return staysInside({}, target) ? QString() : name;
    }
    return name; // devices, FIFOs, sockets and anything unknown
}

bool ArchiveUnpacker::isRunning() const
{
    return process && process->isRunning();
}

void ArchiveUnpacker::start(const QString& newArchive, const QString& newTargetDir, int newStrip)
{
    archive = newArchive;
    targetDir = newTargetDir;
    strip = newStrip;
    delete process;
    process = new AsyncProcess(this);
    connect(process, &AsyncProcess::finished, this, &ArchiveUnpacker::onListed);
    process->start(listingRequest(archive, StationTimings::current().archiveExtractTimeoutMs));
}

void ArchiveUnpacker::onListed(const ProcessResult& result)
{
    process->deleteLater();
    process = nullptr;
    if (!result.succeeded()) {
        logTar(archive, result);
        fail(ArchiveUnpacker::brokenText(archive), QString());
        return;
    }
    const QString refused = firstRefusal(result.standardOutput, strip);
    if (!refused.isEmpty()) {
        fail(refusalText(refused), QStringLiteral("Refusing archive %1 for its member %2").arg(archive, refused));
        return;
    }
    if (!QDir().mkpath(targetDir)) {
        fail(QStringLiteral("Verzeichnis kann nicht angelegt werden: %1").arg(targetDir), QString());
        return;
    }
    process = new AsyncProcess(this);
    connect(process, &AsyncProcess::finished, this, &ArchiveUnpacker::onUnpacked);
    process->start(unpackRequest(archive, targetDir, strip, StationTimings::current().archiveExtractTimeoutMs));
}

void ArchiveUnpacker::onUnpacked(const ProcessResult& result)
{
    process->deleteLater();
    process = nullptr;
    if (result.succeeded()) {
        emit finished(QString());
        return;
    }
    logTar(archive, result);
    removeUnpacked(listedNames(result.standardOutput), targetDir, strip);
    fail(ArchiveUnpacker::brokenText(archive), QString());
}

void ArchiveUnpacker::fail(const QString& warning, const QString& logLine)
{
    if (!logLine.isEmpty())
        qWarning().noquote() << logLine;
    // A refused or broken archive must be fetched again next time, not taken as downloaded.
    QFile::remove(archive);
    emit finished(warning);
}
