#pragma once

// Shared by the window tests: what the fake scripts received, files, and widget helpers.

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

} // namespace teststation
