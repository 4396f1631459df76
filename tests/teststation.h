#pragma once

// Shared by the test-window tests: a sandboxed station with a simulator, and widget helpers.

#include "assignmacs.h"
#include "configmanager.h"
#include "flashsession.h"
#include "logcapture.h"
#include "messagebox.h"
#include "online.h"
#include "printlabels.h"
#include "settings.h"
#include "simulator.h"
#include "stationtimings.h"
#include "testenvironment.h"
#include "testsoftware.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThreadPool>
#include <QtTest>
#include <memory>

namespace teststation {

inline const QStringList testRoles{"TESTTASTER", "RESETTASTER", "INTERFACES"};
inline const char* const fiveButtons[] = {"btnLEDOK", "btnTestTasterTest", "btnTestTasterReset",
                                          "btnStartTests", "btnReset"};

inline QStringList argsOf(const QJsonObject& run)
{
    return run.value(QStringLiteral("args")).toVariant().toStringList();
}

// What each run of a role's script got, its arguments joined by '|'.
inline QStringList roleArgs(const TestEnvironment& env, const QString& role)
{
    QStringList lines;
    for (const QJsonObject& run : env.scriptRuns(role))
        lines << argsOf(run).join(QLatin1Char('|'));
    return lines;
}

inline void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A print script that succeeds at once, for cases where only the button logic matters.
inline void useInstantPrinter(const TestEnvironment& env)
{
    const QString script = env.stationDir() + QStringLiteral("/printlabel.sh");
    QFile::remove(script);
    writeFile(script, "#!/bin/sh\nexit 0\n");
    QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner);
}

inline void setModified(const QString& path, const QDateTime& time)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
}

// A sandboxed station with a simulator that has handed out this device's serial number.
struct Station
{
    TestEnvironment env;
    Simulator sim;
    FlashSession session;
    std::unique_ptr<TestSoftware> window;

    bool start(const QString& swVersion = QStringLiteral("1.2.0-dev"))
    {
        if (!goOnline(env, sim))
            return false;
        StationTimings timings;
        timings.additionalsDelayMs = 600000; // tests trigger the download themselves
        StationTimings::setForTesting(timings);
        session.setArticle(QStringLiteral("4r0417"));
        session.setImage(QStringLiteral("nimbrel-4r0417"));
        session.setSwVersion(swVersion);
        session.setOrderNumber(QStringLiteral("G1234567"));
        ConfigManager client;
        QSignalSpy assigned(&client, &ConfigManager::assingedSerialnummber);
        client.assignSerialNumber(session.article(), QStringLiteral("1.2.0-dev"), session.orderNumber());
        if (!assigned.wait(10000) || assigned.size() != 1)
            return false;
        session.setSerialNumber(assigned.first().first().toString());
        return !session.serialNumber().isEmpty();
    }

    // The test window for this device, shown.
    TestSoftware& open()
    {
        window = std::make_unique<TestSoftware>();
        window->setFlashSession(&session);
        window->show();
        return *window;
    }

    QStringList roleArgs(const QString& role) const { return teststation::roleArgs(env, role); }

    QString additionalsMarker() const
    {
        return env.path(QStringLiteral("configs/extract/additionals/README.txt"));
    }

    ~Station()
    {
        window.reset();
        QThreadPool::globalInstance()->waitForDone();
    }
};

template <typename T> inline T* child(QObject& parent, const char* name)
{
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

inline QPushButton* button(QObject& parent, const char* name)
{
    return child<QPushButton>(parent, name);
}

inline void click(QObject& parent, const char* name)
{
    QTest::mouseClick(button(parent, name), Qt::LeftButton);
}

inline QString logText(TestSoftware& window)
{
    return child<QPlainTextEdit>(window, "txtLog")->toPlainText();
}

inline bool fiveButtonsEnabled(TestSoftware& window, bool enabled)
{
    for (const char* name : fiveButtons) {
        if (button(window, name)->isEnabled() != enabled)
            return false;
    }
    return true;
}

// The LED confirmation, then until the chain and the MAC worker have both reported.
inline void runChain(TestSoftware& window)
{
    click(window, "btnLEDOK");
    QTRY_VERIFY_WITH_TIMEOUT(button(window, "btnLEDOK")->isEnabled(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(window.findChildren<AssignMacs*>().isEmpty(), 30000);
}

inline void fetchAdditionals(TestSoftware& window, const Station& station)
{
    QVERIFY(QMetaObject::invokeMethod(&window, "downloadAdditionals"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(station.additionalsMarker()), 20000);
}
} // namespace teststation
