#include "settings.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRecursiveMutex>
#include <QStringList>
#include <QTextCodec>

namespace {
Settings* currentInstance = nullptr;
// QSettings is reentrant but not thread-safe; the counterpart and MAC tasks read
// settings from pool threads while the GUI thread may be writing a default back.
QRecursiveMutex storeMutex;

// Why the file as the store last read it cannot be used; empty when it can. QSettings
// would write its partial reading over such a file with the next default.
QString fileProblem(const QSettings& store)
{
    store.allKeys(); // QSettings parses lazily and notes a line without "=" only then
    const QFileInfo info(store.fileName());
    if (info.isDir())
        return QStringLiteral("an ihrer Stelle liegt ein Ordner");
    if (info.exists() && !info.isFile())
        return QStringLiteral("keine gewöhnliche Datei");
    if (store.status() == QSettings::AccessError)
        return QStringLiteral("kein Zugriff");
    if (!info.exists())
        return QString();
    QFile file(store.fileName());
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("kein Zugriff");
    const QByteArray data = file.readAll();
    // QSettings takes the mark for part of the first line or key.
    if (data.startsWith("\xEF\xBB\xBF"))
        return QStringLiteral("mit Byte-Order-Mark gespeichert; bitte als UTF-8 ohne BOM speichern");
    // QSettings turns bytes that are not UTF-8 into U+FFFD and would write those back.
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(data.constData(), data.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return QStringLiteral("nicht als UTF-8 gespeichert");
    if (store.status() == QSettings::FormatError)
        return QStringLiteral("Formatfehler, etwa eine Zeile ohne „=“ oder mit „[“ ohne „]“");
    return QString();
}
} // namespace

const char* const Settings::defaultEndpointUrl = "https://configmanager.tarvelin.local/";
const char* const Settings::defaultImageServerUrl = "https://images.tarvelin.local/";

Settings::Settings()
{
    QMutexLocker lock(&storeMutex);
    // Hand-typed umlauts read as typed; the \x escapes that older versions wrote still read.
    store.setIniCodec("UTF-8");
    currentInstance = this;
    qDebug() << "Setting path" << store.fileName();
    noteProblem();
}

Settings::~Settings()
{
    QMutexLocker lock(&storeMutex);
    if (currentInstance == this)
        currentInstance = nullptr;
}

Settings* Settings::instance()
{
    QMutexLocker lock(&storeMutex);
    if (!currentInstance)
        new Settings(); // registers itself; lives until exit
    return currentInstance;
}

QList<SpecEntry> Settings::specs() const
{
    QMutexLocker lock(&specMutex);
    return specList;
}

void Settings::setSpecs(const QList<SpecEntry>& specs)
{
    QMutexLocker lock(&specMutex);
    specList = specs;
}

QString Settings::fileName() const
{
    return store.fileName();
}

QString Settings::problemText() const
{
    QMutexLocker lock(&storeMutex);
    if (problem.isEmpty())
        return QString();
    return QStringLiteral("Einstellungsdatei %1 kann nicht gelesen werden (%2). Die Station arbeitet mit den "
                          "Standardwerten; die Datei wird nicht verändert.")
        .arg(store.fileName(), problem);
}

void Settings::noteProblem()
{
    problem = fileProblem(store);
    if (!problem.isEmpty())
        qWarning().noquote() << problemText();
}

bool Settings::contains(const QString& key)
{
    QMutexLocker lock(&storeMutex);
    if (!currentInstance)
        return false;
    return currentInstance->problem.isEmpty() ? currentInstance->store.contains(key)
                                              : currentInstance->standIn.contains(key);
}

QVariant Settings::value(const QString& key, const QVariant& defaultValue)
{
    QMutexLocker lock(&storeMutex);
    if (!currentInstance)
        return defaultValue;
    return currentInstance->problem.isEmpty() ? currentInstance->store.value(key, defaultValue)
                                              : currentInstance->standIn.value(key, defaultValue);
}

void Settings::setValue(const QString& key, const QVariant& value)
{
    QMutexLocker lock(&storeMutex);
    if (currentInstance)
        currentInstance->write(key, value);
}

void Settings::write(const QString& key, const QVariant& value)
{
    if (problem.isEmpty()) {
        store.sync(); // rereads the file if someone changed it since
        noteProblem();
    }
    if (!problem.isEmpty()) {
        standIn.insert(key, value);
        return;
    }
    store.setValue(key, value);
    // Written at once, so that no later sync writes it over a file broken in the meantime.
    store.sync();
}

// An unquoted value with commas reads as a list, whose blanks next to the commas
// are already gone: join it again so that "geh,eim" stays "geh,eim".
QString Settings::text(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList || value.userType() == QMetaType::QVariantList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

QString Settings::stringSetting(const QString& key, const QString& defaultValue)
{
    QMutexLocker lock(&storeMutex); // contains and the write-back form one step
    if (contains(key))
        return text(value(key, defaultValue));
    setValue(key, defaultValue);
    return defaultValue;
}

QUrl Settings::urlSetting(const QString& key, const QString& defaultValue)
{
    QMutexLocker lock(&storeMutex);
    if (contains(key))
        return QUrl::fromEncoded(text(value(key, defaultValue)).toUtf8(), QUrl::TolerantMode);
    setValue(key, defaultValue);
    return QUrl::fromUserInput(defaultValue);
}

QUrl Settings::EndpointURL()
{
    return urlSetting(QStringLiteral("EndpointURL"), QString::fromLatin1(defaultEndpointUrl));
}

QUrl Settings::ImageServerURL()
{
    return urlSetting(QStringLiteral("ImageServerURL"), QString::fromLatin1(defaultImageServerUrl));
}

QString Settings::DeviceConfigPath()
{
    return stringSetting(QStringLiteral("DeviceConfigPath"), QStringLiteral("/configs/"));
}

QString Settings::DeviceConfigTargetPath()
{
    return stringSetting(QStringLiteral("DeviceConfigTargetPath"), QStringLiteral("/configs/extract/"));
}

QString Settings::ImagePath()
{
    return stringSetting(QStringLiteral("ImagePath"), QStringLiteral("/images/"));
}

QString Settings::FlashScriptPath()
{
    return stringSetting(QStringLiteral("FlashScriptPath"),
                         QStringLiteral("/home/ferlund/produktion/4r0417-production-stage1/"));
}

QString Settings::FlashScriptName()
{
    return stringSetting(QStringLiteral("FlashScriptName"), QStringLiteral("./4R0417_stage1.sh"));
}

QString Settings::LogPath()
{
    return stringSetting(QStringLiteral("LogPath"), QStringLiteral("/media/nimHD/log/"));
}

QString Settings::TestLogPath()
{
    return stringSetting(QStringLiteral("TestLogPath"), QStringLiteral("/media/nimHD/test_log/"));
}

QString Settings::TestScriptTestTaster()
{
    return stringSetting(QStringLiteral("TestScriptTestTaster"),
                         QStringLiteral("testsoftware_gegenspieler/test_TestTaster.py"));
}

QString Settings::TestScriptResetTaster()
{
    return stringSetting(QStringLiteral("TestScriptResetTaster"),
                         QStringLiteral("testsoftware_gegenspieler/test_ResetTaster.py"));
}

QString Settings::TestScript()
{
    return stringSetting(QStringLiteral("TestScript"),
                         QStringLiteral("testsoftware_gegenspieler/test_Interfaces.py"));
}

QString Settings::EndTestServerScript()
{
    return stringSetting(QStringLiteral("EndTestServerScript"),
                         QStringLiteral("testsoftware_gegenspieler/end_Testserver.py"));
}

QString Settings::DisableProductionTestScript()
{
    return stringSetting(QStringLiteral("DisableProductionTestScript"),
                         QStringLiteral("testsoftware_gegenspieler/disable_production_test.py"));
}

QString Settings::RealyModuleCLIScript()
{
    return stringSetting(QStringLiteral("RealyModuleCLIScript"),
                         QStringLiteral("testsoftware_gegenspieler/Realy_Module_CLI.py"));
}

QString Settings::ReadMacScript()
{
    return stringSetting(QStringLiteral("ReadMacScript"),
                         QStringLiteral("testsoftware_gegenspieler/mac_test.py"));
}

QString Settings::Python()
{
    return stringSetting(QStringLiteral("Python"), QStringLiteral("python3.9"));
}

QString Settings::UserNameImage()
{
    return stringSetting(QStringLiteral("UserNameImage"), QString());
}

QString Settings::PasswordImage()
{
    return stringSetting(QStringLiteral("PasswordImage"), QString());
}

QByteArray Settings::Authorization()
{
    return stringSetting(QStringLiteral("Authorization"), QString()).toUtf8();
}

// QVariant takes every text but "", "0" and "false" for true, so "nein" would switch
// the power path; only these spellings count, anything else is false.
bool Settings::NimbrelSystem()
{
    QMutexLocker lock(&storeMutex);
    const QString key = QStringLiteral("NimbrelSystem");
    if (!contains(key)) {
        setValue(key, false);
        return false;
    }
    static const QStringList yes{"true", "1", "yes", "ja", "on"};
    static const QStringList no{"false", "0", "no", "nein", "off"};
    const QString written = text(value(key, false));
    if (yes.contains(written.trimmed(), Qt::CaseInsensitive))
        return true;
    if (!no.contains(written.trimmed(), Qt::CaseInsensitive))
        qWarning().noquote()
            << "Invalid NimbrelSystem value" << ('"' + written + '"')
            << "in the settings, taken as false (valid: true/false, 1/0, yes/no, ja/nein, on/off)";
    return false;
}
