#pragma once

#include <QList>
#include <QString>

class QNetworkReply;
class QSslError;

// The station's requests, as the operator knows them.
enum class StationRequest
{
    Specs,
    SerialNumber,
    MacAddresses,
    Config,
    Additionals,
    Image
};

// Why one request failed, whatever HTTP stack carried it. The stacks only classify;
// operatorText() is the one place that words a failure for the operator.
struct TransferFailure
{
    enum Kind
    {
        None,
        HttpStatus,     // a final status outside 2xx
        Redirect,       // a 3xx that is not followed, or a redirect that was refused
        Unauthorized,   // 401: wrong credentials or token
        ConnectionRefused,
        HostNotFound,
        NoAnswer,       // nothing arrived within the inactivity limit
        ConnectionCut,  // the connection ended before the whole reply arrived
        TlsUntrusted,   // the certificate's issuer is not trusted
        TlsExpired,
        TlsWrongHost,   // the certificate names another host
        TlsOther,
        Proxy,
        NetworkDown,
        BadReply,       // a 2xx whose body the station cannot use
        Other
    };

    Kind kind = None;
    QString host;         // may be shown; never user info or query
    int httpStatus = 0;
    QString reason;       // HTTP reason phrase or the TLS detail (subject, issuer)
    qint64 received = -1; // bytes of the body received, for a cut connection
    qint64 total = -1;    // the body's announced size, -1 when unknown
    QString detail;       // the stack's own text, credentials and query removed

    bool failed() const { return kind != None; }

    // Classifies a finished Qt reply; None when it succeeded with a 2xx status.
    static TransferFailure fromReply(QNetworkReply* reply);
    // Remembers a reply's certificate errors (which Qt only hands to a signal) and logs
    // each with its reason, subject and issuer. They are never ignored.
    static void noteSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    // The same for a stack that hands over the certificate errors itself: logs each and
    // gives the kind (TlsUntrusted, TlsExpired, TlsWrongHost or TlsOther) with its reason.
    static TransferFailure fromSslErrors(const QList<QSslError>& errors, const QString& host);
};

// "<what failed>: <why>", in German, without query string or credentials.
QString operatorText(StationRequest request, const TransferFailure& failure);

// Sizes as an operator reads them: "600 KB", "1,2 GB".
QString byteSizeText(qint64 bytes);

// Removes user info of the given URLs and the configured secrets from a text.
QString withoutSecrets(QString text, const QList<class QUrl>& urls = {});
