#pragma once

#include "transferfailure.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QUrl>
#include <functional>
#include <poll.h>
#include <vector>

// One GET of an image archive with libcurl, driven step by step by the calling thread
// (no event loop): HTTP/1.1, Basic credentials as UTF-8, TLS checked against the system's
// CAs and SSL_CERT_FILE, redirects only to https, optionally resumed with Range/If-Range.
// Qt's access manager is not used here: it cannot keep up with the image server.
class ImageTransfer
{
public:
    struct Response
    {
        int status = 0;
        QString reason;
        QByteArray etag;
        QByteArray lastModified;
        QByteArray contentRange;
        qint64 contentLength = -1;
    };
    // Gets each piece of a 2xx body; false stops the transfer (the file cannot take it).
    using BodySink = std::function<bool(const char* data, size_t size)>;

    ImageTransfer();
    ~ImageTransfer();
    ImageTransfer(const ImageTransfer&) = delete;
    ImageTransfer& operator=(const ImageTransfer&) = delete;

    // from > 0: asks for the rest from that byte, if the file still matches `validator`.
    bool start(const QUrl& url, const QString& user, const QString& password, qint64 from,
               const QByteArray& validator, const BodySink& sink);
    bool isRunning() const { return easy != nullptr && !done; }
    void perform(); // moves the transfer on as far as it can without waiting
    // Waits up to timeoutMs for the network or one of `fds` (events filled in on return).
    void wait(std::vector<pollfd>& fds, int timeoutMs);
    void abort(); // ends a running transfer; failure() then says NoAnswer

    const Response& response() const { return reply; }
    qint64 msSinceActivity() const;
    bool sinkRefused() const { return refusedBySink; }
    // After the end: None when a 2xx reply arrived as the connection announced it.
    TransferFailure failure() const;

private:
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static int onSslContext(void* curl, void* sslContext, void* self);
    static int onVerify(int ok, struct x509_store_ctx_st* store);
    void finish(int code);

    void* multi = nullptr;
    void* easy = nullptr;
    struct curl_slist* headers = nullptr;
    BodySink sink;
    Response reply;
    QString host;
    qint64 lastActivityMs = 0;
    bool done = false;
    bool aborted = false;
    bool refusedBySink = false;
    int code = 0;
    char errorText[256] = {};
    QList<QSslError> certificateErrors;
    QSslCertificate peer;
};
