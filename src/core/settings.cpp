#include "settings.h"

#include <QDebug>
#include <QMutexLocker>
#include <QRecursiveMutex>

namespace {
Settings* currentInstance = nullptr;
// QSettings is reentrant but not thread-safe; the counterpart and MAC tasks read
// settings from pool threads while the GUI thread may be writing a default back.
QRecursiveMutex storeMutex;
} // namespace

const char* const Settings::defaultEndpointUrl = "https://configmanager.tarvelin.local/";
const char* const Settings::defaultImageServerUrl = "https://images.tarvelin.local/";

Settings::Settings()
{
    QMutexLocker lock(&storeMutex);
    currentInstance = this;
    qDebug() << "Setting path" << store.fileName();
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

bool Settings::contains(const QString& key)
{
    QMutexLocker lock(&storeMutex);
    return currentInstance && currentInstance->store.contains(key);
}

QVariant Settings::value(const QString& key, const QVariant& defaultValue)
{
    QMutexLocker lock(&storeMutex);
    if (!currentInstance)
        return defaultValue;
    return currentInstance->store.value(key, defaultValue);
}

void Settings::setValue(const QString& key, const QVariant& value)
{
    QMutexLocker lock(&storeMutex);
    if (currentInstance)
        currentInstance->store.setValue(key, value);
}

QString Settings::stringSetting(const QString& key, const QString& defaultValue)
{
    QMutexLocker lock(&storeMutex); // contains and the write-back form one step
    if (contains(key))
        return value(key, defaultValue).toString();
    setValue(key, defaultValue);
    return defaultValue;
}

QUrl Settings::urlSetting(const QString& key, const QString& defaultValue)
{
    QMutexLocker lock(&storeMutex);
    if (contains(key))
        return QUrl::fromEncoded(value(key, defaultValue).toByteArray(), QUrl::TolerantMode);
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

bool Settings::NimbrelSystem()
{
    QMutexLocker lock(&storeMutex);
    const QString key = QStringLiteral("NimbrelSystem");
    if (contains(key))
        return value(key, false).toBool();
    setValue(key, false);
    return false;
}
