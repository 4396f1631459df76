#include "logcapture.h"
#include "settings.h"
#include "testenvironment.h"
#include "testmain.h"

#include <QtConcurrent>
#include <functional>

class TestSettings : public QObject
{
    Q_OBJECT
private slots:
    void defaultsAreWrittenBack_data();
    void defaultsAreWrittenBack();
    void emptyValueIsKept();
    void invalidEndpointUrlIsNotRewritten();
    void settingPathIsLogged();
    void instancePointerFollowsTheHolder();
    void specListIsReplacedWhole();
    void gettersFromPoolThreadsWhileWriting();
};

using Getter = std::function<QVariant()>;
Q_DECLARE_METATYPE(Getter)

void TestSettings::defaultsAreWrittenBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<Getter>("getter");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QVariant>("stored");

    auto text = [](const char* key, QString (*getter)(), const char* value) {
        QTest::newRow(key) << QString::fromLatin1(key) << Getter([getter] { return QVariant(getter()); })
                           << QVariant(QString::fromUtf8(value)) << QVariant(QString::fromUtf8(value));
    };
    QTest::newRow("EndpointURL") << "EndpointURL" << Getter([] {
        return QVariant(Settings::EndpointURL());
    }) << QVariant(QUrl::fromUserInput(QString::fromLatin1(Settings::defaultEndpointUrl)))
                                 << QVariant(QString::fromLatin1(Settings::defaultEndpointUrl));
    QTest::newRow("ImageServerURL") << "ImageServerURL" << Getter([] {
        return QVariant(Settings::ImageServerURL());
    }) << QVariant(QUrl::fromUserInput(QString::fromLatin1(Settings::defaultImageServerUrl)))
                                    << QVariant(QString::fromLatin1(Settings::defaultImageServerUrl));
    text("DeviceConfigPath", &Settings::DeviceConfigPath, "/configs/");
    text("DeviceConfigTargetPath", &Settings::DeviceConfigTargetPath, "/configs/extract/");
    text("ImagePath", &Settings::ImagePath, "/images/");
    text("FlashScriptPath", &Settings::FlashScriptPath, "/home/ferlund/produktion/4r0417-production-stage1/");
    text("FlashScriptName", &Settings::FlashScriptName, "./4R0417_stage1.sh");
    text("LogPath", &Settings::LogPath, "/media/nimHD/log/");
    text("TestLogPath", &Settings::TestLogPath, "/media/nimHD/test_log/");
    text("TestScriptTestTaster", &Settings::TestScriptTestTaster,
         "testsoftware_gegenspieler/test_TestTaster.py");
    text("TestScriptResetTaster", &Settings::TestScriptResetTaster,
         "testsoftware_gegenspieler/test_ResetTaster.py");
    text("TestScript", &Settings::TestScript, "testsoftware_gegenspieler/test_Interfaces.py");
    text("EndTestServerScript", &Settings::EndTestServerScript,
         "testsoftware_gegenspieler/end_Testserver.py");
    text("DisableProductionTestScript", &Settings::DisableProductionTestScript,
         "testsoftware_gegenspieler/disable_production_test.py");
    text("RealyModuleCLIScript", &Settings::RealyModuleCLIScript,
         "testsoftware_gegenspieler/Realy_Module_CLI.py");
    text("ReadMacScript", &Settings::ReadMacScript, "testsoftware_gegenspieler/mac_test.py");
    text("Python", &Settings::Python, "python3.9");
    text("UserNameImage", &Settings::UserNameImage, "");
    text("PasswordImage", &Settings::PasswordImage, "");
    QTest::newRow("Authorization") << "Authorization"
                                   << Getter([] { return QVariant(Settings::Authorization()); })
                                   << QVariant(QByteArray()) << QVariant(QString());
    QTest::newRow("NimbrelSystem") << "NimbrelSystem"
                                   << Getter([] { return QVariant(Settings::NimbrelSystem()); })
                                   << QVariant(false) << QVariant(false);
}

void TestSettings::defaultsAreWrittenBack()
{
    QFETCH(QString, key);
    QFETCH(Getter, getter);
    QFETCH(QVariant, expected);
    QFETCH(QVariant, stored);

    TestEnvironment env;
    QSettings raw(env.settings()->fileName(), QSettings::NativeFormat);
    raw.remove(key);
    raw.sync();
    env.reopenSettings();
    QVERIFY(!Settings::contains(key));

    QCOMPARE(getter(), expected);
    QVERIFY(Settings::contains(key));
    QCOMPARE(Settings::value(key).toString(), stored.toString());
    // a second read gives the stored value, not a rebuilt default
    QCOMPARE(getter(), expected);
}

void TestSettings::emptyValueIsKept()
{
    TestEnvironment env;
    Settings::setValue(QStringLiteral("DeviceConfigPath"), QString());
    QCOMPARE(Settings::DeviceConfigPath(), QString());
    QCOMPARE(Settings::value(QStringLiteral("DeviceConfigPath")).toString(), QString());
    Settings::setValue(QStringLiteral("Authorization"), QString());
    QCOMPARE(Settings::Authorization(), QByteArray());
}

void TestSettings::invalidEndpointUrlIsNotRewritten()
{
    TestEnvironment env;
    Settings::setValue(QStringLiteral("EndpointURL"), QStringLiteral("http://[::1"));
    QVERIFY(!Settings::EndpointURL().isValid());
    QCOMPARE(Settings::value(QStringLiteral("EndpointURL")).toString(), QStringLiteral("http://[::1"));
}

void TestSettings::settingPathIsLogged()
{
    TestEnvironment env;
    LogCapture log;
    Settings second;
    const int line = log.indexOf(QStringLiteral("Setting path"));
    QVERIFY(line >= 0);
    QVERIFY2(log.lines().at(line).contains(env.root() +
                                           QStringLiteral("/home/.config/Tarvelin/NimbrelProduction.conf")),
             qPrintable(log.lines().at(line)));
}

void TestSettings::instancePointerFollowsTheHolder()
{
    TestEnvironment env;
    QCOMPARE(Settings::instance(), env.settings());
    {
        Settings other;
        QCOMPARE(Settings::instance(), &other);
    }
    // the getters need a holder; without one they fall back to defaults and write nothing
    QVERIFY(!Settings::contains(QStringLiteral("Python")));
    Settings* created = Settings::instance();
    QVERIFY(created);
    QCOMPARE(Settings::instance(), created);
    delete created;
}

void TestSettings::specListIsReplacedWhole()
{
    TestEnvironment env;
    env.settings()->setSpecs({{"A", "1.0", "imgA"}, {"B", "2.0", "imgB"}});
    env.settings()->setSpecs({{"C", "3.0", "imgC"}});
    QCOMPARE(env.settings()->specs().size(), 1);
    QCOMPARE(env.settings()->specs().first().image, QStringLiteral("imgC"));
}

void TestSettings::gettersFromPoolThreadsWhileWriting()
{
    TestEnvironment env;
    Settings::setValue(QStringLiteral("Python"), QStringLiteral("python-x"));
    QList<QFuture<int>> readers;
    for (int i = 0; i < 4; ++i) {
        readers << QtConcurrent::run([] {
            int wrong = 0;
            for (int n = 0; n < 3000; ++n) {
                if (Settings::Python() != QLatin1String("python-x") ||
                    Settings::ReadMacScript() != QLatin1String("testsoftware_gegenspieler/mac_test.py"))
                    ++wrong;
            }
            return wrong;
        });
    }
    for (int n = 0; n < 3000; ++n) {
        Settings::setValue(QStringLiteral("LogPath"), QString::number(n));
        Settings::setValue(QStringLiteral("ReadMacScript"),
                           QStringLiteral("testsoftware_gegenspieler/mac_test.py"));
    }
    for (QFuture<int>& reader : readers)
        QCOMPARE(reader.result(), 0);
}

NIMBREL_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
