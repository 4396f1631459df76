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
