#pragma once

#include <QString>

// Everything known about the device job in progress; shared by pointer by every window of a job.
class FlashSession
{
public:
    const QString& article() const { return m_article; }
    const QString& swVersion() const { return m_swVersion; }
    const QString& image() const { return m_image; }
    const QString& snapImageName() const { return m_snapImageName; }
    const QString& snapDate() const { return m_snapDate; }
    const QString& commitHash() const { return m_commitHash; }
    const QString& orderNumber() const { return m_orderNumber; }
    const QString& serialNumber() const { return m_serialNumber; }

    void setArticle(const QString& value) { m_article = value; }
    void setSwVersion(const QString& value) { m_swVersion = value; }
    void setImage(const QString& value) { m_image = value; }
    void setSnapImageName(const QString& value) { m_snapImageName = value; }
    void setSnapDate(const QString& value) { m_snapDate = value; }
    void setCommitHash(const QString& value) { m_commitHash = value; }
    void setOrderNumber(const QString& value) { m_orderNumber = value; }
    void setSerialNumber(const QString& value) { m_serialNumber = value; }

    // Per-device file names, shared by the downloads, the flash step and the clean-up.
    QString configArchiveName() const;      // image-swVersion-serial.tar.gz
    QString additionalsArchiveName() const; // image-swVersion-serial-additionals.tar.gz
    QString imageFileName() const;          // the .img the flash script is given
    bool isSnapshot() const { return isSnapshotVersion(m_swVersion); }
    static bool isSnapshotVersion(const QString& swVersion); // contains "-snap"
    static bool isOrderNumber(const QString& text);          // the whole text is "G" and seven digits

private:
    QString m_article;
    QString m_swVersion;
    QString m_image;
    QString m_snapImageName;
    QString m_snapDate;
    QString m_commitHash;
    QString m_orderNumber;
    QString m_serialNumber;
};
