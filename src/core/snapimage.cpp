#include "snapimage.h"

#include <QRegularExpression>

SnapImage SnapImage::parse(const QString& text)
{
    static const QRegularExpression pattern(
        QStringLiteral("(\\w+)-(\\d+\\.\\d+\\.\\d+-snap)-(\\d{4}-\\d{2}-\\d{2})-(\\w+)-img\\.tar\\.gz"));
    SnapImage snap;
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return snap;
    snap.valid = true;
    snap.article = match.captured(1);
    snap.swVersion = match.captured(2);
    snap.date = match.captured(3);
    snap.commitHash = match.captured(4);
    return snap;
}
