#include "configmanager.h"

#include "fileutils.h"
#include "flashsession.h"
#include "processrunner.h"
#include "settings.h"
#include "stationtimings.h"

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
#include <cstdio>

namespace {
const char* const localFileProperty = "nimbrelLocalFile";
// Bounds what Qt holds of the image in memory; a slow disk then throttles the transfer.
const qint64 imageReadBufferSize = 1 << 20;
const QString partSuffix = QStringLiteral(".part");

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

// Replaces the file at `to` in one step, so that a name never holds half a file.
bool replaceFile(const QString& from, const QString& to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
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
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *warning = QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(path);
        qWarning().noquote() << "Cannot open" << part << file.errorString();
        return false;
    }
    const bool written = file.write(data) == data.size() && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        qWarning().noquote() << "Cannot write" << part << file.errorString();
        QFile::remove(part);
        *warning = QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(path);
        return false;
    }
    if (!replaceFile(part, path)) {
        qWarning().noquote() << "Cannot rename" << part << "to" << path;
        QFile::remove(part);
        *warning = QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(path);
        return false;
    }
    return true;
}

// Qt's error texts carry the request URL, user name and password included.
QString withoutCredentials(QString text, const QList<QUrl>& urls)
{
    for (const QUrl& url : urls) {
        if (url.userInfo().isEmpty())
            continue;
        const QUrl clean = url.adjusted(QUrl::RemoveUserInfo);
        for (QUrl::ComponentFormattingOptions format : {QUrl::ComponentFormattingOptions(QUrl::PrettyDecoded),
                                                        QUrl::ComponentFormattingOptions(QUrl::FullyEncoded),
                                                        QUrl::ComponentFormattingOptions(QUrl::FullyDecoded)})
            text.replace(url.toString(format), clean.toString(format));
    }
    static const QRegularExpression userInfo(QStringLiteral("(://)[^/@\\s]*@"));
    text.replace(userInfo, QStringLiteral("\\1"));
    // Last resort for a form of the URL not replaced above; short values would mangle the text.
    for (const QString& secret : {Settings::PasswordImage(), QString::fromUtf8(Settings::Authorization())}) {
        if (secret.size() >= 4)
            text.replace(secret, QStringLiteral("***"));
    }
    return text;
}

// tar leaves behind what it began; a file cut short must not be taken for a good one later.
// Only regular files that really lie inside the target go; links are never followed.
void removeUnpacked(const QString& listing, const QString& targetDir, int stripComponents)
{
    const QString root = QFileInfo(targetDir).canonicalFilePath();
    if (root.isEmpty())
        return;
    for (const QString& member : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QStringList parts = member.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (parts.size() <= stripComponents || parts.contains(QStringLiteral("..")))
            continue;
        parts = parts.mid(stripComponents);
        const QFileInfo unpacked(root + QLatin1Char('/') + parts.join(QLatin1Char('/')));
        if (unpacked.isFile() && !unpacked.isSymLink() &&
            unpacked.canonicalFilePath().startsWith(root + QLatin1Char('/')))
            QFile::remove(unpacked.absoluteFilePath());
    }
}

bool isHttpSuccess(QNetworkReply* reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) // not HTTP
        return true;
    return status.toInt() >= 200 && status.toInt() < 300;
}

QString unexpectedStatusWarning(QNetworkReply* reply)
{
    return QStringLiteral("Unerwartete Antwort des Servers (HTTP %1)")
        .arg(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
}

// A serial number is a non-negative integer, sent as a JSON number or as a string of digits.
bool readSerial(const QJsonValue& value, QString* serial)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number < 0 || number > 9007199254740992.0 || std::floor(number) != number)
            return false;
        *serial = QString::number(qint64(number));
        return true;
    }
    if (value.isString()) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
        if (!digits.match(value.toString()).hasMatch())
            return false;
        *serial = QString::number(value.toString().toLongLong());
        return true;
    }
    return false;
}
} // namespace

ConfigManager::ConfigManager(QObject* parent) : QObject(parent) {}

ConfigManager::~ConfigManager()
{
    // Replies still running must not call back into a half-destroyed client.
    const QList<QNetworkReply*> replies = manager.findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
    }
    clearImageDownload();
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

    QNetworkRequest request(url);
    QByteArray authorization = Settings::Authorization();
    if (authorization.isNull())
        authorization = QByteArray(""); // a null value would drop the header; it is sent even when empty
    request.setRawHeader("Authorization", authorization);
    request.setTransferTimeout(StationTimings::current().networkInactivityMs);
    return request;
}

QString ConfigManager::errorText(QNetworkReply* reply) const
{
    const QList<QUrl> urls{reply->request().url(), reply->url()};
    if (reply->error() == QNetworkReply::OperationCanceledError ||
        reply->error() == QNetworkReply::TimeoutError) {
        // Replies we abort ourselves are disconnected first, so this is the inactivity limit.
        return QStringLiteral("Der Server antwortet nicht: %1")
            .arg(reply->request().url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery));
    }
    QString text = withoutCredentials(reply->errorString(), urls);
    if (text.trimmed().isEmpty())
        text = QStringLiteral("Netzwerkfehler %1").arg(int(reply->error()));
    return text;
}

void ConfigManager::logReplyError(QNetworkReply* reply) const
{
    qWarning() << "ERROR!";
    qWarning().noquote() << errorText(reply);
}

// The server's "message" where it sent a usable one, otherwise the reply's error text.
QString ConfigManager::errorWarning(QNetworkReply* reply, const QByteArray& body) const
{
    if (body.isEmpty())
        qDebug() << "Need to fill JSON data";
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        qDebug() << "It is not a JSON object";
    const QJsonValue message = document.object().value(QStringLiteral("message"));
    if (message.isString() && !message.toString().trimmed().isEmpty()) {
        qDebug().noquote() << "message" << message.toString();
        return message.toString();
    }
    return errorText(reply);
}

void ConfigManager::requestSpecs()
{
    QNetworkReply* reply = manager.get(configRequest(QStringLiteral("/api/v1/specs"), {}));
    connect(reply, &QNetworkReply::finished, this, &ConfigManager::readSpec);
}

void ConfigManager::readSpec()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        logReplyError(reply);
        return; // the list in force stays
    }
    const QByteArray body = reply->readAll();
    if (body.isEmpty())
        qDebug() << "Need to fill JSON data";
    const QJsonArray array = QJsonDocument::fromJson(body).array();
    QList<SpecEntry> specs;
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        SpecEntry entry;
        entry.article = object.value(QStringLiteral("article")).toString();
        entry.softwareVersion = object.value(QStringLiteral("software_version")).toString();
        entry.image = object.value(QStringLiteral("image")).toString();
        qDebug().noquote() << entry.article << entry.softwareVersion << entry.image;
        specs.append(entry);
    }
    Settings::instance()->setSpecs(specs);
}

void ConfigManager::assignSerialNumber(const QString& article, const QString& version,
                                       const QString& emsSerialNumber)
{
    // The server knows snapshot builds by their development stage.
    QString serverVersion = version;
    serverVersion.replace(QRegularExpression(QStringLiteral("snap")), QStringLiteral("dev"));
    const QNetworkRequest request = configRequest(QStringLiteral("/api/v1/assignSerialNumber"),
                                                  {{QStringLiteral("article"), article},
                                                   {QStringLiteral("version"), serverVersion},
                                                   {QStringLiteral("emsSerialNumber"), emsSerialNumber}});
    QNetworkReply* reply = manager.put(request, QByteArray());
    connect(reply, &QNetworkReply::finished, this, &ConfigManager::readSerialnumber);
}

void ConfigManager::readSerialnumber()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        logReplyError(reply);
        emit assingedSerialnummber(QString(), errorWarning(reply, body));
        return;
    }
    if (body.isEmpty())
        qDebug() << "Need to fill JSON data";
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        qDebug() << "It is not a JSON object";
    QString serialNumber;
    if (!readSerial(document.object().value(QStringLiteral("serialNumber")), &serialNumber)) {
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
    QNetworkReply* reply = manager.put(request, body);
    connect(reply, &QNetworkReply::finished, this, &ConfigManager::readResponseAssignMacs);
}

void ConfigManager::readResponseAssignMacs()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    qDebug() << "readResponseAssignMacs ";
    const QByteArray body = reply->readAll();
    if (reply->error() == QNetworkReply::NoError) {
        qDebug() << "no error ResponseAssignMacs";
        emit ResponseAssignMacs(QString());
        return;
    }
    logReplyError(reply);
    emit ResponseAssignMacs(errorWarning(reply, body));
}

void ConfigManager::downloadConfig(const QString& article, const QString& serialNumber)
{
    if (!archiveJobUsable(&ConfigManager::downloadConfigComplete))
        return;
    const QString localFile = Settings::DeviceConfigPath() + m_flashSession->configArchiveName();
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
    const QString localFile = Settings::DeviceConfigPath() + m_flashSession->additionalsArchiveName();
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
    QNetworkReply* reply = manager.get(request);
    // The name is fixed when asking, so a job record changed meanwhile cannot redirect the write.
    reply->setProperty(localFileProperty, localFile);
    connect(reply, &QNetworkReply::finished, this, handler);
}

void ConfigManager::downloadConfigFinished()
{
    if (auto* reply = qobject_cast<QNetworkReply*>(sender()))
        archiveFinished(reply, &ConfigManager::downloadConfigComplete);
}

void ConfigManager::downloadFinishedAdditionals()
{
    qDebug() << "downloadFinishedAdditionals ";
    if (auto* reply = qobject_cast<QNetworkReply*>(sender()))
        archiveFinished(reply, &ConfigManager::downloadAdditionalsComplete);
}

void ConfigManager::archiveFinished(QNetworkReply* reply, void (ConfigManager::*complete)(QString))
{
    reply->deleteLater();
    const QString localFile = reply->property(localFileProperty).toString();
    const QByteArray body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError) {
        logReplyError(reply);
        emit(this->*complete)(errorWarning(reply, body));
        return;
    }
    QString warning;
    if (!isHttpSuccess(reply))
        warning = unexpectedStatusWarning(reply);
    else if (body.isEmpty())
        warning = QStringLiteral("Keine Daten vom Server erhalten: %1").arg(localFile);
    else if (writeWholeFile(localFile, body, &warning))
        extractArchive(localFile, Settings::DeviceConfigTargetPath(), &warning);
    if (!warning.isEmpty())
        qWarning().noquote() << warning;
    emit(this->*complete)(warning);
}

bool ConfigManager::extractArchive(const QString& archivePath, const QString& targetDir, QString* warning)
{
    ProcessRequest request;
    request.program = QStringLiteral("tar");
    request.arguments = QStringList{
        QStringLiteral("-xvf"), archivePath, QStringLiteral("--strip"),        QStringLiteral("1"),
        QStringLiteral("-C"),   targetDir,   QStringLiteral("--no-same-owner")};
    request.timeoutMs = StationTimings::current().archiveExtractTimeoutMs;
    ProcessResult result;
    if (QDir().mkpath(targetDir))
        result = ProcessRunner::run(request);
    else
        result.errorString = QStringLiteral("cannot create ") + targetDir;
    if (result.succeeded())
        return true;
    qWarning().noquote() << "tar" << archivePath << result.outcome()
                         << QString::fromLocal8Bit(result.standardError);
    removeUnpacked(QString::fromLocal8Bit(result.standardOutput), targetDir, 1);
    // A broken archive must be fetched again next time, not taken as already downloaded.
    QFile::remove(archivePath);
    *warning = QStringLiteral("Entpacken fehlgeschlagen: %1").arg(archivePath);
    return false;
}

bool ConfigManager::extractImageArchive(const QString& archivePath, const QString& targetDir,
                                        QString* warning)
{
    ProcessRequest request;
    request.program = QStringLiteral("tar");
    request.arguments = QStringList{QStringLiteral("-xvf"), archivePath, QStringLiteral("-C"), targetDir};
    request.timeoutMs = StationTimings::current().imageExtractTimeoutMs;
    ProcessResult result;
    if (QDir().mkpath(targetDir))
        result = ProcessRunner::run(request);
    else
        result.errorString = QStringLiteral("cannot create ") + targetDir;
    const QString listing = QString::fromLocal8Bit(result.standardOutput);
    qDebug().noquote() << listing;
    if (result.succeeded())
        return true;
    qWarning().noquote() << "tar" << archivePath << result.outcome()
                         << QString::fromLocal8Bit(result.standardError);
    removeUnpacked(listing, targetDir, 0);
    QFile::remove(archivePath);
    *warning = QStringLiteral("Entpacken fehlgeschlagen: %1").arg(archivePath);
    return false;
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
    if (imageReply) {
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
    const QString fileName = imageArchiveName(image, swVersion, snapDate, commitHash);
    qDebug().noquote() << "doDownloadImage" << fileName;
    const QString target = Settings::ImagePath() + fileName;
    if (QFileInfo(target).isFile()) {
        emit downloadImageComplete(QString());
        return;
    }

    QUrl url = Settings::ImageServerURL();
    const QString user = Settings::UserNameImage();
    const QString password = Settings::PasswordImage();
    if (!user.isEmpty() || !password.isEmpty()) {
        url.setUserName(user);
        url.setPassword(password);
    }
    url.setPath(imageServerPath(image, swVersion, imageFolder, snapDate, commitHash));
    url.setQuery(QString());

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setRawHeader("accept", "application/tar");
    // The archive must arrive byte for byte as the server holds it, so that its size can be checked.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setTransferTimeout(StationTimings::current().networkInactivityMs);

    imageTarget = target;
    imageBytesWritten = 0;
    imageReply = manager.get(request);
    imageReply->setReadBufferSize(imageReadBufferSize);
    connect(imageReply, &QNetworkReply::readyRead, this, &ConfigManager::onReadyRead);
    connect(imageReply, &QNetworkReply::finished, this, &ConfigManager::downloadImageFinished);
}

void ConfigManager::onReadyRead()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (reply && reply == imageReply)
        writeImageData(reply);
}

// Appends everything the reply holds to the temporary file; false (and the download
// ended with a warning) when the file cannot take it.
bool ConfigManager::writeImageData(QNetworkReply* reply)
{
    if (!isHttpSuccess(reply)) {
        reply->readAll(); // an error page, not part of the image
        return true;
    }
    if (reply->bytesAvailable() <= 0)
        return true;
    if (!imageFile) {
        const QString dir = QFileInfo(imageTarget).absolutePath();
        if (!QDir(dir).exists()) {
            qWarning().noquote() << "create Image Path" << Settings::ImagePath();
            if (!QDir().mkpath(dir)) {
                failImageDownload(QStringLiteral("Verzeichnis kann nicht angelegt werden: %1").arg(dir));
                return false;
            }
        }
        imageFile = new QFile(imageTarget + partSuffix);
        if (!imageFile->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            qWarning().noquote() << "Cannot open" << imageFile->fileName() << imageFile->errorString();
            failImageDownload(QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(imageTarget));
            return false;
        }
    }
    while (reply->bytesAvailable() > 0) {
        // readAll hands over Qt's own buffer without copying; the buffer is bounded above.
        const QByteArray data = reply->readAll();
        const qint64 got = data.size();
        if (got <= 0)
            break;
        if (imageFile->write(data) != got) {
            qWarning().noquote() << "Cannot write" << imageFile->fileName() << imageFile->errorString();
            failImageDownload(QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(imageTarget));
            return false;
        }
        imageBytesWritten += got;
    }
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    emit imageDownloadProgress(imageBytesWritten, length.isValid() ? length.toLongLong() : -1);
    return true;
}

void ConfigManager::downloadImageFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    if (reply != imageReply) {
        reply->deleteLater();
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        const QString text = errorText(reply);
        qWarning() << "ERROR!";
        failImageDownload(text);
        return;
    }
    if (!isHttpSuccess(reply)) {
        failImageDownload(unexpectedStatusWarning(reply));
        return;
    }
    if (!writeImageData(reply))
        return;
    if (!imageFile || imageBytesWritten == 0) {
        failImageDownload(QStringLiteral("Keine Daten vom Server erhalten: %1").arg(imageTarget));
        return;
    }
    // Qt may repeat a GET cut short and end the second, also short, reply without error.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != imageBytesWritten) {
        failImageDownload(QStringLiteral("Download unvollständig (%1 von %2 Bytes): %3")
                              .arg(imageBytesWritten)
                              .arg(length.toLongLong())
                              .arg(imageTarget));
        return;
    }
    imageFile->close();
    if (imageFile->error() != QFileDevice::NoError) {
        failImageDownload(QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(imageTarget));
        return;
    }
    if (!replaceFile(imageFile->fileName(), imageTarget)) {
        failImageDownload(QStringLiteral("Datei kann nicht geschrieben werden: %1").arg(imageTarget));
        return;
    }
    delete imageFile; // the final name holds the archive now; nothing to remove
    imageFile = nullptr;
    const QString archive = imageTarget;
    clearImageDownload();

    QString warning;
    extractImageArchive(archive, Settings::ImagePath(), &warning);
    if (!warning.isEmpty())
        qWarning().noquote() << warning;
    emit downloadImageComplete(warning);
}

void ConfigManager::failImageDownload(const QString& warning)
{
    qWarning().noquote() << warning;
    clearImageDownload();
    emit downloadImageComplete(warning);
}

// Ends the running image download: the reply goes, and a temporary file left goes with it.
void ConfigManager::clearImageDownload()
{
    if (imageReply) {
        disconnect(imageReply, nullptr, this, nullptr);
        imageReply->abort();
        imageReply->deleteLater();
        imageReply = nullptr;
    }
    if (imageFile) {
        imageFile->close();
        imageFile->remove();
        delete imageFile;
        imageFile = nullptr;
    }
    imageTarget.clear();
    imageBytesWritten = 0;
}
