#include "messagebox.h"

#include <QDebug>
#include <QMessageBox>

const QString MessageBox::title = QStringLiteral("Nimbrel Flash & Test Station");

namespace {
bool recording = false;
QList<MessageBox::Shown> shown;
} // namespace

void MessageBox::warning(QWidget* parent, const QString& text)
{
    show(Warning, parent, text);
}

void MessageBox::critical(QWidget* parent, const QString& text)
{
    show(Critical, parent, text);
}

void MessageBox::show(Kind kind, QWidget* parent, const QString& text)
{
    qDebug().noquote() << (kind == Warning ? "Warning box:" : "Critical box:") << text;
    if (recording) {
        shown.append({kind, text});
        return;
    }
    if (kind == Warning)
        QMessageBox::warning(parent, title, text, QMessageBox::Ok);
    else
        QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

void MessageBox::setRecordingForTesting(bool on)
{
    recording = on;
    shown.clear();
}

QList<MessageBox::Shown> MessageBox::takeShownForTesting()
{
    QList<Shown> result;
    result.swap(shown);
    return result;
}

QStringList MessageBox::takeShownTextsForTesting()
{
    QStringList texts;
    for (const Shown& entry : takeShownForTesting())
        texts << entry.text;
    return texts;
}
