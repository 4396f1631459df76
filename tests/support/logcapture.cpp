#include "logcapture.h"

#include <QtGlobal>
#include <cstdio>

namespace {
QMutex mutex;
QStringList captured;
QtMessageHandler previous = nullptr;
int active = 0;

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker lock(&mutex);
        captured << message;
    }
    if (previous)
        previous(type, context, message);
}
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&mutex);
    captured.clear();
    if (active++ == 0)
        previous = qInstallMessageHandler(handler);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&mutex);
    if (--active == 0)
        qInstallMessageHandler(previous);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

bool LogCapture::contains(const QString& text) const
{
    return indexOf(text) >= 0;
}

int LogCapture::indexOf(const QString& text, int from) const
{
    const QStringList all = lines();
    for (int i = qMax(0, from); i < all.size(); ++i) {
        if (all.at(i).contains(text))
            return i;
    }
    return -1;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}
