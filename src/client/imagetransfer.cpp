#include "imagetransfer.h"

#include <QDebug>
#include <QDir>
#include <chrono>
#include <curl/curl.h>
#include <mutex>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace {
// Big reads keep the per-byte cost of a fast link low.
const long bufferSize = 512 * 1024;
// The certificate check runs inside curl_multi_perform(), in the thread that drives the
// transfer: it finds its transfer here.
thread_local ImageTransfer* verifying = nullptr;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QSslCertificate toQt(X509* certificate)
{
    unsigned char* der = nullptr;
    const int size = certificate ? i2d_X509(certificate, &der) : -1;
    if (size <= 0)
        return QSslCertificate();
    const QSslCertificate result(QByteArray(reinterpret_cast<const char*>(der), size), QSsl::Der);
    OPENSSL_free(der);
    return result;
}

QSslError::SslError toQt(int verifyError)
{
    switch (verifyError) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        return QSslError::UnableToGetIssuerCertificate;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        return QSslError::UnableToGetLocalIssuerCertificate;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return QSslError::SelfSignedCertificate;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return QSslError::SelfSignedCertificateInChain;
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QSslError::UnableToVerifyFirstCertificate;
    case X509_V_ERR_CERT_UNTRUSTED:
        return QSslError::CertificateUntrusted;
    case X509_V_ERR_CERT_REJECTED:
        return QSslError::CertificateRejected;
    case X509_V_ERR_INVALID_CA:
        return QSslError::InvalidCaCertificate;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QSslError::CertificateExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QSslError::CertificateNotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
        return QSslError::HostNameMismatch;
    default:
        return QSslError::UnspecifiedError;
    }
}

QByteArray headerValue(const QByteArray& line, const char* name)
{
    const int colon = line.indexOf(':');
    if (colon < 0 || line.left(colon).trimmed().toLower() != name)
        return QByteArray();
    return line.mid(colon + 1).trimmed();
}
} // namespace

ImageTransfer::ImageTransfer()
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi = curl_multi_init();
}

ImageTransfer::~ImageTransfer()
{
    abort();
    curl_multi_cleanup(multi);
}

bool ImageTransfer::start(const QUrl& url, const QString& user, const QString& password, qint64 from,
                          const QByteArray& validator, const BodySink& newSink)
{
    abort();
    sink = newSink;
    reply = Response();
    host = url.host();
    done = aborted = refusedBySink = false;
    code = CURLE_OK;
    errorText[0] = '\0';
    certificateErrors.clear();
    peer = QSslCertificate();
    easy = curl_easy_init();
    if (!multi || !easy)
        return false;
    CURL* curl = easy;
    curl_easy_setopt(curl, CURLOPT_URL, url.adjusted(QUrl::RemoveUserInfo).toEncoded().constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect must not take the image, or the credentials, off TLS.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    if (!user.isEmpty() || !password.isEmpty()) {
        // UTF-8, as the image server stores them (Qt would send Latin-1).
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.toUtf8().constData());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.toUtf8().constData());
    }
    // HTTP/2 would hold far more of the image in memory; the archive must arrive as stored.
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    headers = curl_slist_append(headers, "Accept: application/tar");
    headers = curl_slist_append(headers, "Accept-Encoding: identity");
    if (from > 0) {
        curl_easy_setopt(curl, CURLOPT_RANGE, QByteArray::number(from).append('-').constData());
        headers = curl_slist_append(headers, QByteArray("If-Range: " + validator).constData());
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    // OpenSSL's own variable, which libcurl ignores; the system's CAs stay trusted beside it.
    const QByteArray caFile = qgetenv("SSL_CERT_FILE");
    if (!caFile.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());
        const QByteArray caDir = qgetenv("SSL_CERT_DIR");
        curl_easy_setopt(curl, CURLOPT_CAPATH, caDir.isEmpty() ? "/etc/ssl/certs" : caDir.constData());
    }
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &ImageTransfer::onSslContext);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, bufferSize);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &ImageTransfer::onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ImageTransfer::onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_PRIVATE, this);
    lastActivityMs = nowMs();
    return curl_multi_add_handle(multi, curl) == CURLM_OK;
}

void ImageTransfer::perform()
{
    if (!isRunning())
        return;
    verifying = this;
    int running = 0;
    curl_multi_perform(multi, &running);
    verifying = nullptr;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
            finish(message->data.result);
    }
}

void ImageTransfer::wait(std::vector<pollfd>& fds, int timeoutMs)
{
    std::vector<curl_waitfd> extra;
    for (const pollfd& fd : fds)
        extra.push_back(curl_waitfd{fd.fd, fd.events, 0});
    curl_multi_poll(multi, extra.data(), unsigned(extra.size()), timeoutMs, nullptr);
    for (size_t i = 0; i < fds.size(); ++i)
        fds[i].revents = extra[i].revents;
}

void ImageTransfer::finish(int result)
{
    done = true;
    code = result;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    reply.status = int(status);
}

void ImageTransfer::abort()
{
    if (easy && !done) {
        aborted = true;
        done = true;
    }
    if (easy) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
        easy = nullptr;
    }
    curl_slist_free_all(headers);
    headers = nullptr;
}

qint64 ImageTransfer::msSinceActivity() const
{
    return nowMs() - lastActivityMs;
}

size_t ImageTransfer::onHeader(char* data, size_t size, size_t count, void* self)
{
    auto* transfer = static_cast<ImageTransfer*>(self);
    transfer->lastActivityMs = nowMs();
    const QByteArray line = QByteArray(data, int(size * count)).trimmed();
    Response& reply = transfer->reply;
    if (line.startsWith("HTTP/")) { // every reply of a redirect chain starts afresh
        reply = Response();
        const QList<QByteArray> parts = line.split(' ');
        reply.status = parts.value(1).toInt();
        reply.reason = QString::fromLatin1(line.mid(line.indexOf(' ', line.indexOf(' ') + 1) + 1));
        if (parts.size() < 3)
            reply.reason.clear();
        return size * count;
    }
    if (!headerValue(line, "etag").isEmpty())
        reply.etag = headerValue(line, "etag");
    if (!headerValue(line, "last-modified").isEmpty())
        reply.lastModified = headerValue(line, "last-modified");
    if (!headerValue(line, "content-range").isEmpty())
        reply.contentRange = headerValue(line, "content-range");
    bool ok = false;
    const qint64 length = headerValue(line, "content-length").toLongLong(&ok);
    if (ok)
        reply.contentLength = length;
    return size * count;
}

size_t ImageTransfer::onBody(char* data, size_t size, size_t count, void* self)
{
    auto* transfer = static_cast<ImageTransfer*>(self);
    transfer->lastActivityMs = nowMs();
    const size_t bytes = size * count;
    if (transfer->reply.status < 200 || transfer->reply.status >= 300)
        return bytes; // an error page, not part of the image
    if (!transfer->sink(data, bytes)) {
        transfer->refusedBySink = true;
        return 0;
    }
    return bytes;
}

int ImageTransfer::onSslContext(void*, void* sslContext, void*)
{
    auto* context = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_verify(context, SSL_CTX_get_verify_mode(context), &ImageTransfer::onVerify);
    return CURLE_OK;
}

// Keeps OpenSSL's verdict; only notes the certificate and why it was refused.
int ImageTransfer::onVerify(int ok, X509_STORE_CTX* store)
{
    ImageTransfer* transfer = verifying;
    if (!transfer)
        return ok;
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    if (X509_STORE_CTX_get_error_depth(store) == 0)
        transfer->peer = toQt(certificate);
    if (!ok)
        transfer->certificateErrors << QSslError(toQt(X509_STORE_CTX_get_error(store)), toQt(certificate));
    return ok;
}

TransferFailure ImageTransfer::failure() const
{
    TransferFailure failure;
    failure.host = host;
    failure.httpStatus = reply.status;
    failure.reason = reply.reason;
    failure.detail = withoutSecrets(QString::fromUtf8(errorText));
    if (aborted) {
        failure.kind = TransferFailure::NoAnswer;
        return failure;
    }
    switch (code) {
    case CURLE_OK:
        if (reply.status >= 200 && reply.status < 300)
            return TransferFailure();
        failure.kind = reply.status == 401 ? TransferFailure::Unauthorized
                       : reply.status >= 300 && reply.status < 400 && reply.status != 304
                           ? TransferFailure::Redirect
                           : TransferFailure::HttpStatus;
        return failure;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_TOO_MANY_REDIRECTS:
        failure.kind = TransferFailure::Redirect; // a redirect off https
        return failure;
    case CURLE_COULDNT_CONNECT:
        failure.kind = TransferFailure::ConnectionRefused;
        return failure;
    case CURLE_COULDNT_RESOLVE_HOST:
        failure.kind = TransferFailure::HostNotFound;
        return failure;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_PROXY:
        failure.kind = TransferFailure::Proxy;
        return failure;
    case CURLE_OPERATION_TIMEDOUT:
        failure.kind = TransferFailure::NoAnswer;
        return failure;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        failure.kind = TransferFailure::ConnectionCut;
        return failure;
    case CURLE_PEER_FAILED_VERIFICATION: {
        // libcurl checks the host name itself, after OpenSSL has accepted the chain.
        const QList<QSslError> errors = certificateErrors.isEmpty()
                                            ? QList<QSslError>{QSslError(QSslError::HostNameMismatch, peer)}
                                            : certificateErrors;
        TransferFailure tls = TransferFailure::fromSslErrors(errors, host);
        tls.detail = failure.detail;
        return tls;
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
        failure.kind = TransferFailure::TlsOther;
        return failure;
    default:
        failure.kind = TransferFailure::Other;
        return failure;
    }
}
