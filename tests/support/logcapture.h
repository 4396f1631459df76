#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

// Collects the program's debug log while it lives (all threads), still printing it.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    bool contains(const QString& text) const; // some line contains the text
    int indexOf(const QString& text, int from = 0) const;
    void clear();
};
