#pragma once

// Shared by the window tests: what the fake scripts received, files, and widget helpers.
#include "configmanager.h"
#include "flashsession.h"
#include "logcapture.h"
#include "online.h"
#include "printlabels.h"
#include "settings.h"
#include "stationtimings.h"

#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QtTest>

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
