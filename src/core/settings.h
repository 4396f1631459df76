#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSettings>
#include <QString>
#include <QUrl>
#include <QVariant>

struct SpecEntry
{
    QString article;
    QString softwareVersion;
    QString image;

    bool operator==(const SpecEntry& other) const
    {
        return article == other.article && softwareVersion == other.softwareVersion && image == other.image;
    }
};

// The station's configuration: one getter per key, each writing its default back
// when the key is missing so the file becomes a complete, hand-editable template.
// The file is UTF-8. A file that cannot be read or parsed is never written: the
// station then works on the defaults alone.
class Settings
{
public:
    Settings();
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    static Settings* instance();

    QList<SpecEntry> specs() const;
    void setSpecs(const QList<SpecEntry>& specs);
    QString fileName() const;
    // For the operator, in German: the file cannot be used and why; empty while it can.
    QString problemText() const;

    // Safe to call from the GUI thread and pool threads at once.
    static bool contains(const QString& key);
    static QVariant value(const QString& key, const QVariant& defaultValue = QVariant());
    static void setValue(const QString& key, const QVariant& value);

    static QUrl EndpointURL();
    static QUrl ImageServerURL();
    static QString DeviceConfigPath();
    static QString DeviceConfigTargetPath();
    static QString ImagePath();
    static QString FlashScriptPath();
    static QString FlashScriptName();
    static QString LogPath();
    static QString TestLogPath();
    static QString TestScriptTestTaster();
    static QString TestScriptResetTaster();
    static QString TestScript();
    static QString EndTestServerScript();
    static QString DisableProductionTestScript();
    static QString RealyModuleCLIScript();
    static QString ReadMacScript();
    static QString Python();
    static QString UserNameImage();
    static QString PasswordImage();
    static QByteArray Authorization();
    static bool NimbrelSystem();

    static const char* const defaultEndpointUrl;
    static const char* const defaultImageServerUrl;

private:
    static QString text(const QVariant& value);
    static QString stringSetting(const QString& key, const QString& defaultValue);
    static QUrl urlSetting(const QString& key, const QString& defaultValue);
    void write(const QString& key, const QVariant& value);
    void noteProblem();

    QSettings store;
    QString problem;                  // why the file is not used; empty while it is
    QHash<QString, QVariant> standIn; // the values written while the file is not used
    QList<SpecEntry> specList;
    mutable QMutex specMutex;
};
