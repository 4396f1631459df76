#include "configmanager.h"

#include "archiveunpacker.h"
#include "fileutils.h"
#include "flashsession.h"
#include "settings.h"
#include "stationtimings.h"
#include "tlstrust.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <cmath>

namespace {
const char* const localFileProperty = "nimbrelLocalFile";
const QString partSuffix = QStringLiteral(".part");
ConfigManager::SpecsOutcome specsOutcome; // GUI thread only
// Beyond 2^53 - 1 a JSON number no longer carries every whole number exactly.
const double largestExactSerial = 9007199254740991.0;

// Names from the server or the job record become file names: none may leave its folder.
bool namesAreSafe(const QStringList& names, QString* warning)
{
    for (const QString& name : names) {
        if (!FileUtils::isSafeFileName(name)) {
            *warning = QStringLiteral("Unzulässiger Dateiname: \"%1\"").arg(name);
            qWarning().noquote() << "Refusing unsafe name" << name;
            return false;
        }
    }
    return true;
}

QString noSessionWarning()
{
    return QStringLiteral("Interner Fehler: kein Auftrag für den Download gesetzt.");
}

QString notWritableWarning(const QString& path)
{
    return QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(path);
}

// Writes a whole archive beside its final name first; nothing half-written ever sits at `path`.
bool writeWholeFile(const QString& path, const QByteArray& data, QString* warning)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) {
        *warning = QStringLiteral("Verzeichnis kann nicht angelegt werden: %1").arg(dir);
        return false;
    }
    const QString part = path + partSuffix;
    QFile file;
    if (!FileUtils::openNewFile(file, part)) {
        *warning = notWritableWarning(path);
        return false;
    }
    const bool written = file.write(data) == data.size();
    file.close();
    if (!written || file.error() != QFileDevice::NoError || !FileUtils::replaceFile(part, path)) {
        qWarning().noquote() << "Cannot write" << part << file.errorString();
        QFile::remove(part);
        *warning = notWritableWarning(path);
        return false;
    }
    return true;
}

// The server's own "message" for a failed request, where it sent a usable one.
QString serverMessage(const QByteArray& body)
{
    if (body.isEmpty())
        qDebug() << "Need to fill JSON data";
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        qDebug() << "It is not a JSON object";
    const QJsonValue message = document.object().value(QStringLiteral("message"));
    if (!message.isString() || message.toString().trimmed().isEmpty())
        return QString();
    qDebug().noquote() << "message" << withoutSecrets(message.toString());
    return withoutSecrets(message.toString());
}

void logFailure(const QString& warning)
{
    qWarning() << "ERROR!";
    qWarning().noquote() << warning;
}
} // namespace

ConfigManager::ConfigManager(QObject* parent) : QObject(parent)
{
    connect(&imageDownload, &ImageDownload::progress, this, &ConfigManager::imageProgress);
    connect(&imageDownload, &ImageDownload::finished, this, &ConfigManager::downloadImageComplete);
}

ConfigManager::~ConfigManager()
{
    // Replies still running must not call back into a half-destroyed client.
    const QList<QNetworkReply*> replies = manager.findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
    }
}

void ConfigManager::setFlashSession(FlashSession* session)
{
    m_flashSession = session;
}

FlashSession* ConfigManager::flashSession() const
{
    return m_flashSession;
}

QNetworkRequest ConfigManager::configRequest(const QString& path,
                                             const QList<QPair<QString, QString>>& query) const
{
    QUrl url = Settings::EndpointURL();
    url.setPath(path);
    // Encoded by hand: QUrlQuery leaves "+" alone, which servers read as a blank.
    QStringList items;
    for (const auto& item : query)
        items << QString::fromLatin1(QUrl::toPercentEncoding(item.first) + '=' +
                                     QUrl::toPercentEncoding(item.second));
    url.setQuery(items.isEmpty() ? QString() : items.join(QLatin1Char('&')), QUrl::StrictMode);

    TlsTrust::applyToQt();
    QNetworkRequest request(url);
    QByteArray authorization = Settings::Authorization();
    if (authorization.isNull())
        authorization = QByteArray(""); // a null value would drop the header; it is sent even when empty
    request.setRawHeader("Authorization", authorization);
    // A redirect would carry the Authorization header and the device's data elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(StationTimings::current().networkInactivityMs);
    return request;
}

QNetworkReply* ConfigManager::send(const QByteArray& verb, const QNetworkRequest& request, const QByteArray& body,
                                   void (ConfigManager::*handler)())
{
    QNetworkReply* reply = verb == "PUT" ? manager.put(request, body) : manager.get(request);
    connect(reply, &QNetworkReply::sslErrors, this,
            [reply](const QList<QSslError>& errors) { TransferFailure::noteSslErrors(reply, errors); });
    connect(reply, &QNetworkReply::finished, this, handler);
    return reply;
}

// The server's "message" for an error it reported itself, otherwise what failed and why.
QString ConfigManager::failureWarning(QNetworkReply* reply, StationRequest kind, const TransferFailure& failure,
                                      const QByteArray& body) const
{
    Q_UNUSED(reply)
    QString warning;
    if (failure.kind == TransferFailure::HttpStatus || failure.kind == TransferFailure::Unauthorized)
        warning = serverMessage(body);
    if (warning.isEmpty())
        warning = operatorText(kind, failure);
    logFailure(warning);
    if (!failure.detail.isEmpty())
        qWarning().noquote() << failure.detail;
    return warning;
}

void ConfigManager::requestSpecs()
{
    send("GET", configRequest(QStringLiteral("/api/v1/specs"), {}), {}, &ConfigManager::readSpec);
}

void ConfigManager::readSpec()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    TransferFailure failure = TransferFailure::fromReply(reply);
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!failure.failed() && !document.isArray())
        failure.kind = TransferFailure::BadReply; // a broken reply must not wipe the catalogue
    if (failure.failed()) {
        specsOutcome = {true, failureWarning(reply, StationRequest::Specs, failure, body)};
        emit specsReceived(specsOutcome.warning);
        return; // the list in force stays
    }
    QList<SpecEntry> specs;
    for (const QJsonValue& value : document.array()) {
        const QJsonObject object = value.toObject();
        SpecEntry entry;
        entry.article = object.value(QStringLiteral("article")).toString();
        entry.softwareVersion = object.value(QStringLiteral("software_version")).toString();
        entry.image = object.value(QStringLiteral("image")).toString();
        qDebug().noquote() << entry.article << entry.softwareVersion << entry.image;
        specs.append(entry);
    }
    Settings::instance()->setSpecs(specs);
    specsOutcome = {true, QString()};
    emit specsReceived(QString());
}

ConfigManager::SpecsOutcome ConfigManager::lastSpecsOutcome()
{
    return specsOutcome;
}

void ConfigManager::assignSerialNumber(const QString& article, const QString& version,
                                       const QString& emsSerialNumber)
{
    // The server knows snapshot builds by their development stage.
    QString serverVersion = version;
    serverVersion.replace(QRegularExpression(QStringLiteral("snap")), QStringLiteral("dev"));
    send("PUT",
         configRequest(QStringLiteral("/api/v1/assignSerialNumber"),
                       {{QStringLiteral("article"), article},
                        {QStringLiteral("version"), serverVersion},
                        {QStringLiteral("emsSerialNumber"), emsSerialNumber}}),
         QByteArray(), &ConfigManager::readSerialnumber);
}

QString ConfigManager::serialNumberOf(const QJsonValue& value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number < 1 || number > largestExactSerial || std::floor(number) != number)
            return QString();
        return QString::number(qint64(number));
    }
    // Digits as sent: leading zeros belong to the number the server keeps.
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,32}$"));
    const QString text = value.toString();
    if (!value.isString() || !digits.match(text).hasMatch() || text.count(QLatin1Char('0')) == text.size())
        return QString();
    return text;
}

void ConfigManager::readSerialnumber()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    const TransferFailure failure = TransferFailure::fromReply(reply);
    if (failure.failed()) {
        emit assingedSerialnummber(QString(), failureWarning(reply, StationRequest::SerialNumber, failure, body));
        return;
    }
    if (body.isEmpty())
        qDebug() << "Need to fill JSON data";
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        qDebug() << "It is not a JSON object";
    const QString serialNumber = serialNumberOf(document.object().value(QStringLiteral("serialNumber")));
    if (serialNumber.isEmpty()) {
        qWarning().noquote() << "No usable serialNumber in" << QString::fromUtf8(body.left(200));
        emit assingedSerialnummber(QString(),
                                   QStringLiteral("Keine gültige Seriennummer vom Server erhalten!"));
        return;
    }
    qDebug().noquote() << "serialNumber" << serialNumber;
    emit assingedSerialnummber(serialNumber, QString());
}

void ConfigManager::assignMacAddresses(const QString& article, const QString& serialNumber,
                                       const QString& eth0Mac, const QString& eth1Mac)
{
    // QJsonObject keeps its keys sorted: "eth0" comes before "eth1".
    const QJsonObject macs{{QStringLiteral("eth0"), eth0Mac}, {QStringLiteral("eth1"), eth1Mac}};
    const QByteArray body = QJsonDocument(macs).toJson(QJsonDocument::Indented);
    qDebug().noquote() << QString::fromUtf8(body);
    QNetworkRequest request =
        configRequest(QStringLiteral("/api/v1/assignMacAddresses"),
                      {{QStringLiteral("article"), article}, {QStringLiteral("serialNumber"), serialNumber}});
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    send("PUT", request, body, &ConfigManager::readResponseAssignMacs);
}

void ConfigManager::readResponseAssignMacs()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    qDebug() << "readResponseAssignMacs ";
    const QByteArray body = reply->readAll();
    TransferFailure failure = TransferFailure::fromReply(reply);
    // An empty reply or a JSON object is the server's answer; anything else (a proxy's page) is not.
    if (!failure.failed() && !body.trimmed().isEmpty() && !QJsonDocument::fromJson(body).isObject())
        failure.kind = TransferFailure::BadReply;
    if (failure.failed()) {
        emit ResponseAssignMacs(failureWarning(reply, StationRequest::MacAddresses, failure, body));
        return;
    }
    qDebug() << "no error ResponseAssignMacs";
    emit ResponseAssignMacs(QString());
}

void ConfigManager::downloadConfig(const QString& article, const QString& serialNumber)
{
    if (!archiveJobUsable(&ConfigManager::downloadConfigComplete))
        return;
    const QString localFile = FileUtils::inFolder(Settings::DeviceConfigPath(), m_flashSession->configArchiveName());
    if (QFileInfo(localFile).isFile()) {
        emit downloadConfigComplete(QStringLiteral("Konfigurationsdatein sind bereits heruntergeladen!"));
        return;
    }
    downloadArchive(QStringLiteral("/api/v1/configs"), article, serialNumber, localFile,
                    &ConfigManager::downloadConfigFinished);
}

void ConfigManager::downloadAdditionals(const QString& article, const QString& serialNumber)
{
    qDebug().noquote() << "article " + article + " serialNumber " + serialNumber;
    if (!archiveJobUsable(&ConfigManager::downloadAdditionalsComplete))
        return;
    // Always fetched again: the archive may have changed since the last test.
    const QString localFile =
        FileUtils::inFolder(Settings::DeviceConfigPath(), m_flashSession->additionalsArchiveName());
    downloadArchive(QStringLiteral("/api/v1/additionals"), article, serialNumber, localFile,
                    &ConfigManager::downloadFinishedAdditionals);
}

// The archives are named after the job record: there must be one, and its names must stay in their folder.
bool ConfigManager::archiveJobUsable(void (ConfigManager::*complete)(QString))
{
    QString warning;
    if (!m_flashSession)
        warning = noSessionWarning();
    else
        namesAreSafe({m_flashSession->image(), m_flashSession->swVersion(), m_flashSession->serialNumber()},
                     &warning);
    if (warning.isEmpty())
        return true;
    emit(this->*complete)(warning);
    return false;
}

void ConfigManager::downloadArchive(const QString& path, const QString& article, const QString& serialNumber,
                                    const QString& localFile, void (ConfigManager::*handler)())
{
    QNetworkRequest request = configRequest(
        path, {{QStringLiteral("article"), article}, {QStringLiteral("serialNumber"), serialNumber}});
    request.setRawHeader("accept", "application/tar");
    QNetworkReply* reply = send("GET", request, {}, handler);
    // The name is fixed when asking, so a job record changed meanwhile cannot redirect the write.
    reply->setProperty(localFileProperty, localFile);
}

void ConfigManager::downloadConfigFinished()
{
    if (auto* reply = qobject_cast<QNetworkReply*>(sender()))
        archiveFinished(reply, StationRequest::Config, &ConfigManager::downloadConfigComplete);
}

void ConfigManager::downloadFinishedAdditionals()
{
    qDebug() << "downloadFinishedAdditionals ";
    if (auto* reply = qobject_cast<QNetworkReply*>(sender()))
        archiveFinished(reply, StationRequest::Additionals, &ConfigManager::downloadAdditionalsComplete);
}

void ConfigManager::archiveFinished(QNetworkReply* reply, StationRequest kind,
                                    void (ConfigManager::*complete)(QString))
{
    reply->deleteLater();
    const QString localFile = reply->property(localFileProperty).toString();
    const QByteArray body = reply->readAll();
    TransferFailure failure = TransferFailure::fromReply(reply);
    if (!failure.failed() && body.isEmpty())
        failure.kind = TransferFailure::BadReply;
    if (failure.failed()) {
        emit(this->*complete)(failureWarning(reply, kind, failure, body));
        return;
    }
    QString warning;
    if (!writeWholeFile(localFile, body, &warning)) {
        qWarning().noquote() << warning;
        emit(this->*complete)(warning);
        return;
    }
    // Unpacked in the background: the window stays alive meanwhile.
    auto* unpacker = new ArchiveUnpacker(this);
    connect(unpacker, &ArchiveUnpacker::finished, this, [this, unpacker, complete](const QString& result) {
        unpacker->deleteLater();
        if (!result.isEmpty())
            qWarning().noquote() << result;
        emit(this->*complete)(result);
    });
    unpacker->start(localFile, Settings::DeviceConfigTargetPath(), 1);
}

QString ConfigManager::imageArchiveName(const QString& image, const QString& swVersion,
                                        const QString& snapDate, const QString& commitHash)
{
    if (FlashSession::isSnapshotVersion(swVersion))
        return image + QLatin1Char('-') + swVersion + QLatin1Char('-') + snapDate + QLatin1Char('-') +
               commitHash + QStringLiteral("-img.tar.gz");
    return image + QLatin1Char('-') + swVersion + QStringLiteral("-img.tar.gz");
}

QString ConfigManager::imageServerPath(const QString& image, const QString& swVersion,
                                       const QString& imageFolder, const QString& snapDate,
                                       const QString& commitHash)
{
    const QString fileName = imageArchiveName(image, swVersion, snapDate, commitHash);
    if (FlashSession::isSnapshotVersion(swVersion))
        return QStringLiteral("/cls/") + imageFolder + QStringLiteral("/snapshots/") + fileName;
    QString folderVersion = swVersion;
    folderVersion.remove(QRegularExpression(QStringLiteral("-dev|-qa|-prod")));
    return QStringLiteral("/cls/") + imageFolder + QLatin1Char('/') + folderVersion + QLatin1Char('/') +
           fileName;
}

void ConfigManager::doDownloadImage(const QString& image, const QString& swVersion,
                                    const QString& imageFolder)
{
    if (imageDownload.isRunning()) {
        emit downloadImageComplete(QStringLiteral("Es läuft bereits ein Image-Download."));
        return;
    }
    const QString snapDate = m_flashSession ? m_flashSession->snapDate() : QString();
    const QString commitHash = m_flashSession ? m_flashSession->commitHash() : QString();
    QStringList names{image, swVersion};
    if (FlashSession::isSnapshotVersion(swVersion))
        names << snapDate << commitHash;
    QString warning;
    if (!namesAreSafe(names, &warning)) {
        emit downloadImageComplete(warning);
        return;
    }
    ImageDownload::Request request;
    request.archiveName = imageArchiveName(image, swVersion, snapDate, commitHash);
    qDebug().noquote() << "doDownloadImage" << request.archiveName;
    request.imageName = m_flashSession ? m_flashSession->imageFileName()
                                       : QString(request.archiveName).replace(QStringLiteral("-img.tar.gz"), QStringLiteral(".img"));
    request.folder = Settings::ImagePath();
    request.url = Settings::ImageServerURL().adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
    request.url.setPath(imageServerPath(image, swVersion, imageFolder, snapDate, commitHash));
    request.userName = Settings::UserNameImage();
    request.password = Settings::PasswordImage();
    imageDownload.start(request);
}

void ConfigManager::cancelImageDownload()
{
    imageDownload.cancel();
}
