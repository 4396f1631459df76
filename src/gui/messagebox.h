#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class QWidget;

// The one place that shows the station's message boxes. Tests switch on the
// recording mode: boxes are then noted instead of shown, so nothing blocks.
class MessageBox
{
public:
    enum Kind
    {
        Warning,
        Critical
    };
    struct Shown
    {
        Kind kind;
        QString text;
    };

    static const QString title;

    static void warning(QWidget* parent, const QString& text);
    static void critical(QWidget* parent, const QString& text);

    static void setRecordingForTesting(bool recording);
    static QList<Shown> takeShownForTesting();
    static QStringList takeShownTextsForTesting();

private:
    static void show(Kind kind, QWidget* parent, const QString& text);
};
