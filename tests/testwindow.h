#pragma once

// The window tests' fixture: a station with a serial number from its simulator, its test window.
#include "assignmacs.h"
#include "datarows.h"
#include "testmain.h"
#include "testsoftware.h"
#include "teststation.h"

#include <QPlainTextEdit>
#include <QThreadPool>

using namespace teststation;

inline const QStringList testRoles{"TESTTASTER", "RESETTASTER", "INTERFACES"};

struct Station
{
    TestEnvironment env;
    Simulator sim;
    FlashSession session;
    QScopedPointer<TestSoftware> window;

    // Online, with a serial number from the simulator, and the window shown; tests fetch the additionals.
    bool start(const QString& swVersion = QStringLiteral("1.2.0-dev"), int additionalsDelayMs = 600000)
    {
        StationTimings timings;
        timings.additionalsDelayMs = additionalsDelayMs;
        StationTimings::setForTesting(timings);
        session.setArticle(QStringLiteral("4r0417"));
        session.setSwVersion(swVersion);
        session.setOrderNumber(QStringLiteral("G1234567"));
        ConfigManager client;
        QSignalSpy assigned(&client, &ConfigManager::assingedSerialnummber);
        if (goOnline(env, sim))
            client.assignSerialNumber(session.article(), swVersion, session.orderNumber());
        if (!assigned.wait(10000))
            return false;
        session.setSerialNumber(assigned.first().first().toString());
        window.reset(new TestSoftware);
        window->setFlashSession(&session);
        window->show();
        return true;
    }

    ~Station()
    {
        window.reset();
        QThreadPool::globalInstance()->waitForDone();
    }

    QStringList args(const QString& role) const { return roleArgs(env, role); }
    QJsonValue run(const QString& role, const char* key) const { return env.scriptRuns(role).value(0)[key]; }
    void write(const QString& relative, const QByteArray& content, int ageSeconds = 0) const
    {
        writeFile(env.path(relative), content);
        QFile file(env.path(relative));
        QVERIFY(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                                 QFileDevice::FileModificationTime));
    }
    template <class T = QAbstractButton> T* child(const char* id) const
    {
        return teststation::child<T>(*window, id);
    }
    void click(const char* id) const { teststation::click(*window, id); }
    QString log() const { return child<QPlainTextEdit>("txtLog")->toPlainText(); }
    bool hasLabels() const { return window->findChild<PrintLabels*>(); }
    int enabledButtons() const // of the five that the chain switches
    {
        int enabled = 0;
        for (auto name : {"btnLEDOK", "btnTestTasterTest", "btnTestTasterReset", "btnStartTests", "btnReset"})
            enabled += child(name)->isEnabled();
        return enabled;
    }

    void runChain() const // the LED confirmation, until the chain and the MAC worker have both ended
    {
        click("btnLEDOK");
        QTRY_VERIFY_WITH_TIMEOUT(child("btnLEDOK")->isEnabled(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(window->findChildren<AssignMacs*>().isEmpty(), 30000);
    }

    void fetchAdditionals() const // until the window has the outcome
    {
        QSignalSpy done(window->findChild<ConfigManager*>(QString(), Qt::FindDirectChildrenOnly),
                        &ConfigManager::downloadAdditionalsComplete);
        QVERIFY(QMetaObject::invokeMethod(window.data(), "downloadAdditionals"));
        QVERIFY(done.count() || done.wait(20000));
    }
};
