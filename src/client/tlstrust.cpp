#include "tlstrust.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace TlsTrust {

void applyToQt()
{
    static QString appliedFile;
    static QDateTime appliedTime;
    const QString file = qEnvironmentVariable("SSL_CERT_FILE");
    const QDateTime modified = QFileInfo(file).lastModified();
    if (file == appliedFile && modified == appliedTime)
        return;
    appliedFile = file;
    appliedTime = modified;

    QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
    if (!file.isEmpty()) {
        const QList<QSslCertificate> extra = QSslCertificate::fromPath(file, QSsl::Pem);
        if (extra.isEmpty())
            qWarning().noquote() << "SSL_CERT_FILE" << file << "holds no certificate";
        else
            qDebug().noquote() << "Trusting" << extra.size() << "certificate(s) from SSL_CERT_FILE" << file;
        authorities += extra;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

} // namespace TlsTrust
