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

bool FlashSession::isSnapshotVersion(const QString& swVersion)
{
    static const QRegularExpression snapPattern(QStringLiteral(".*-snap.*"));
    return snapPattern.match(swVersion).hasMatch();
}
