#include "flashsession.h"

#include <QRegularExpression>

QString FlashSession::configArchiveName() const
{
    return m_image + QLatin1Char('-') + m_swVersion + QLatin1Char('-') + m_serialNumber +
           QStringLiteral(".tar.gz");
}

QString FlashSession::additionalsArchiveName() const
{
    return m_image + QLatin1Char('-') + m_swVersion + QLatin1Char('-') + m_serialNumber +
           QStringLiteral("-additionals.tar.gz");
}

QString FlashSession::imageFileName() const
{
    if (isSnapshot())
        return m_snapImageName + QStringLiteral(".img");
    return m_image + QLatin1Char('-') + m_swVersion + QStringLiteral(".img");
}

bool FlashSession::isOrderNumber(const QString& text)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral("G[0-9]{7}")));
    return pattern.match(text).hasMatch();
}

bool FlashSession::isSnapshotVersion(const QString& swVersion)
{
    static const QRegularExpression snapPattern(QStringLiteral(".*-snap.*"));
    return snapPattern.match(swVersion).hasMatch();
}
