#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class AsyncProcess;
struct ProcessResult;

// Unpacks a configuration or additionals archive with tar in the background, once its
// listing has shown that nothing in it leads out of the target folder. Ends exactly once
// with finished(), the warning empty on success. A refused or broken archive is removed.
class ArchiveUnpacker : public QObject
{
    Q_OBJECT
public:
    explicit ArchiveUnpacker(QObject* parent = nullptr);
    ~ArchiveUnpacker() override; // a tar still running is stopped

    // Drops the first `strip` path components of every member, as tar's --strip does.
    void start(const QString& archive, const QString& targetDir, int strip);
    bool isRunning() const;

    // tar's options for a listing that checkedMember() can read.
    static QStringList listingOptions();
    // Reads one line of tar's verbose listing (-tvv or -xvv with listingOptions()). Empty when
    // the member may be unpacked into the folder, otherwise the member's name as the archive
    // gives it, for "Unzulässiger Archivinhalt: <name>".
    static QString refusedMember(const QString& listingLine, int strip);
    static QString refusalText(const QString& member);
    static QString brokenText(const QString& archive); // tar could not unpack it

signals:
    void finished(const QString& warning);

private:
    void onListed(const ProcessResult& result);
    void onUnpacked(const ProcessResult& result);
    void fail(const QString& warning, const QString& logLine);

    AsyncProcess* process = nullptr;
    QString archive;
    QString targetDir;
    int strip = 0;
};
