#include "transferfailure.h"

#include "settings.h"

#include <QDebug>
#include <QLocale>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslError>
#include <QUrl>

namespace {
const char* const sslErrorsProperty = "nimbrelSslErrors";

QString requestText(StationRequest request)
{
    switch (request) {
    case StationRequest::Specs:
        return QStringLiteral("Artikelliste konnte nicht geladen werden");
    case StationRequest::SerialNumber:
        return QStringLiteral("Seriennummer konnte nicht angefordert werden");
    case StationRequest::MacAddresses:
        return QStringLiteral("MAC-Adressen wurden nicht registriert");
    case StationRequest::Config:
        return QStringLiteral("Konfiguration konnte nicht heruntergeladen werden");
    case StationRequest::Additionals:
        return QStringLiteral("Zusatzdateien konnten nicht heruntergeladen werden");
    case StationRequest::Image:
        return QStringLiteral("Image-Download");
    }
    return QString();
}

QString certificateText(const QSslCertificate& certificate)
{
    const auto name = [](const QStringList& parts) { return parts.isEmpty() ? QStringLiteral("?") : parts.join(", "); };
    return QStringLiteral("Zertifikat für %1, ausgestellt von %2")
        .arg(name(certificate.subjectInfo(QSslCertificate::CommonName)),
             name(certificate.issuerInfo(QSslCertificate::CommonName)));
}

TransferFailure::Kind tlsKind(const QList<QSslError>& errors, QString* reason)
{
    // The first reason an operator can act on: an untrusted issuer hides everything else.
    static const QList<QPair<QList<QSslError::SslError>, TransferFailure::Kind>> order{
        {{QSslError::UnableToGetLocalIssuerCertificate, QSslError::UnableToGetIssuerCertificate,
          QSslError::SelfSignedCertificate, QSslError::SelfSignedCertificateInChain,
          QSslError::UnableToVerifyFirstCertificate, QSslError::CertificateUntrusted,
          QSslError::CertificateRejected, QSslError::InvalidCaCertificate},
         TransferFailure::TlsUntrusted},
        {{QSslError::CertificateExpired, QSslError::CertificateNotYetValid}, TransferFailure::TlsExpired},
        {{QSslError::HostNameMismatch}, TransferFailure::TlsWrongHost}};
    for (const auto& step : order) {
        for (const QSslError& error : errors) {
            if (step.first.contains(error.error())) {
                *reason = certificateText(error.certificate());
                return step.second;
            }
        }
    }
    if (!errors.isEmpty())
        *reason = errors.first().errorString();
    return TransferFailure::TlsOther;
}

TransferFailure::Kind kindOfError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return TransferFailure::ConnectionRefused;
    case QNetworkReply::HostNotFoundError:
        return TransferFailure::HostNotFound;
    case QNetworkReply::RemoteHostClosedError:
        return TransferFailure::ConnectionCut;
    // The station disconnects from a reply before it aborts one itself: a cancel seen here
    // is the inactivity limit.
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return TransferFailure::NoAnswer;
    case QNetworkReply::SslHandshakeFailedError:
        return TransferFailure::TlsOther;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
    case QNetworkReply::UnknownNetworkError:
        return TransferFailure::NetworkDown;
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return TransferFailure::Redirect;
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return TransferFailure::Proxy;
    case QNetworkReply::AuthenticationRequiredError:
        return TransferFailure::Unauthorized;
    default:
        return TransferFailure::Other;
    }
}

// 304 and 300 are not redirects; the others send the client elsewhere.
bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

void logSslErrors(const QList<QSslError>& errors)
{
    for (const QSslError& error : errors) {
        qWarning().noquote() << "TLS certificate error:" << error.errorString()
                             << "| subject:" << error.certificate().subjectDisplayName()
                             << "| issuer:" << error.certificate().issuerDisplayName();
    }
}
} // namespace

void TransferFailure::noteSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    logSslErrors(errors);
    reply->setProperty(sslErrorsProperty, QVariant::fromValue(errors));
}

TransferFailure TransferFailure::fromSslErrors(const QList<QSslError>& errors, const QString& host)
{
    logSslErrors(errors);
    TransferFailure failure;
    failure.host = host;
    failure.kind = tlsKind(errors, &failure.reason);
    return failure;
}

TransferFailure TransferFailure::fromReply(QNetworkReply* reply)
{
    TransferFailure failure;
    const QUrl url = reply->url().isEmpty() ? reply->request().url() : reply->url();
    failure.host = url.host();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    failure.httpStatus = status.isValid() ? status.toInt() : 0;
    failure.reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    if (reply->error() == QNetworkReply::NoError) {
        if (failure.httpStatus == 0 || (failure.httpStatus >= 200 && failure.httpStatus < 300))
            return TransferFailure();
        // Qt ends a redirect it does not follow without an error.
        failure.kind = isRedirect(failure.httpStatus) ? Redirect : HttpStatus;
        return failure;
    }
    failure.detail = withoutSecrets(reply->errorString(), {reply->request().url(), reply->url()});
    if (failure.httpStatus >= 300) {
        failure.kind = failure.httpStatus == 401          ? Unauthorized
                       : isRedirect(failure.httpStatus) ? Redirect
                                                        : HttpStatus;
        return failure;
    }
    failure.kind = kindOfError(reply->error());
    if (reply->error() == QNetworkReply::SslHandshakeFailedError)
        failure.kind = tlsKind(reply->property(sslErrorsProperty).value<QList<QSslError>>(), &failure.reason);
    return failure;
}

QString byteSizeText(qint64 bytes)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    static const char* const units[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1000)
        return QStringLiteral("%1 Bytes").arg(bytes);
    double value = double(bytes);
    int unit = -1;
    while (value >= 1000 && unit < 3) {
        value /= 1000;
        ++unit;
    }
    const int decimals = value < 10 && qAbs(value - qRound(value)) >= 0.05 ? 1 : 0;
    return german.toString(value, 'f', decimals) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString operatorText(StationRequest request, const TransferFailure& failure)
{
    const QString what = requestText(request);
    const QString host = failure.host.isEmpty() ? QStringLiteral("?") : failure.host;
    const auto statusText = [&failure] {
        return failure.reason.isEmpty() ? QString::number(failure.httpStatus)
                                        : QStringLiteral("%1 (%2)").arg(failure.httpStatus).arg(failure.reason);
    };
    QString why;
    switch (failure.kind) {
    case TransferFailure::None:
        return QString();
    case TransferFailure::HttpStatus:
        why = QStringLiteral("Server antwortet mit %1").arg(statusText());
        break;
    case TransferFailure::Redirect:
        why = failure.httpStatus > 0
                  ? QStringLiteral("Server antwortet mit %1, eine Weiterleitung wird nicht befolgt").arg(statusText())
                  : QStringLiteral("unzulässige Weiterleitung");
        break;
    case TransferFailure::Unauthorized:
        why = request == StationRequest::Image
                  ? QStringLiteral("Benutzername oder Passwort des Image-Servers falsch")
                  : QStringLiteral("Zugriff verweigert (HTTP 401), Authorization in den Einstellungen prüfen");
        break;
    case TransferFailure::ConnectionRefused:
        why = QStringLiteral("Verbindung zum Server abgelehnt: %1").arg(host);
        break;
    case TransferFailure::HostNotFound:
        why = QStringLiteral("Server nicht gefunden: %1").arg(host);
        break;
    case TransferFailure::NoAnswer:
        why = QStringLiteral("Der Server antwortet nicht: %1").arg(host);
        break;
    case TransferFailure::ConnectionCut:
        if (failure.received < 0)
            why = QStringLiteral("Verbindung unterbrochen");
        else if (failure.total > 0)
            why = QStringLiteral("Verbindung unterbrochen nach %1 von %2")
                      .arg(byteSizeText(failure.received), byteSizeText(failure.total));
        else
            why = QStringLiteral("Verbindung unterbrochen nach %1").arg(byteSizeText(failure.received));
        break;
    case TransferFailure::TlsUntrusted:
        why = QStringLiteral("Verbindung zum Server fehlgeschlagen: Zertifikat nicht vertrauenswürdig (%1)")
                  .arg(failure.reason);
        break;
    case TransferFailure::TlsExpired:
        why = QStringLiteral("Verbindung zum Server fehlgeschlagen: Zertifikat abgelaufen oder noch nicht gültig (%1)")
                  .arg(failure.reason);
        break;
    case TransferFailure::TlsWrongHost:
        why = QStringLiteral("Verbindung zum Server fehlgeschlagen: Zertifikat gehört nicht zu %1 (%2)")
                  .arg(host, failure.reason);
        break;
    case TransferFailure::TlsOther:
        why = QStringLiteral("Verbindung zum Server fehlgeschlagen: sichere Verbindung nicht möglich (%1)")
                  .arg(failure.reason.isEmpty() ? failure.detail : failure.reason);
        break;
    case TransferFailure::Proxy:
        why = QStringLiteral("Proxy-Server nicht erreichbar oder verweigert die Verbindung (%1), "
                             "Proxy-Einstellungen prüfen")
                  .arg(failure.detail);
        break;
    case TransferFailure::NetworkDown:
        why = QStringLiteral("Netzwerk nicht verfügbar (%1)").arg(failure.detail);
        break;
    case TransferFailure::BadReply:
        why = QStringLiteral("ungültige Antwort des Servers");
        break;
    case TransferFailure::Other:
        why = failure.detail.isEmpty() ? QStringLiteral("Netzwerkfehler") : failure.detail;
        break;
    }
    return what + QStringLiteral(": ") + why;
}

QString withoutSecrets(QString text, const QList<QUrl>& urls)
{
    for (const QUrl& url : urls) {
        const QUrl clean = url.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
        for (QUrl::ComponentFormattingOptions format : {QUrl::ComponentFormattingOptions(QUrl::PrettyDecoded),
                                                        QUrl::ComponentFormattingOptions(QUrl::FullyEncoded)})
            text.replace(url.toString(format), clean.toString(format));
    }
    static const QRegularExpression userInfo(QStringLiteral("(://)[^/@\\s]*@"));
    text.replace(userInfo, QStringLiteral("\\1"));
    // A query carries the device's data, not what failed.
    static const QRegularExpression query(QStringLiteral("(://[^\\s?]*)\\?\\S*"));
    text.replace(query, QStringLiteral("\\1"));
    // Last resort for a form not caught above; short values would mangle the text.
    for (const QString& secret : {Settings::PasswordImage(), QString::fromUtf8(Settings::Authorization())}) {
        if (secret.trimmed().size() >= 4)
            text.replace(secret, QStringLiteral("***"));
    }
    return text;
}
