#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// nginx with TLS in front of the station simulator (sim/tls_front.py) on loopback, for one
// test: one HTTPS port per certificate, Basic auth on /cls/, everything else proxied.
class TlsFront
{
public:
    enum Kind
    {
        Good,
        WrongHost,
        Expired,
        Untrusted
    };

    TlsFront() = default;
    ~TlsFront();

    // upstream: the simulator, e.g. Simulator::baseUrl(). extraArguments: --image-root DIR
    // (serve /cls/ from DIR), --user U, --password P (default station / geheim).
    // False if it did not come up; skipReason() then says whether this machine cannot run it.
    bool start(const QString& upstream, const QStringList& extraArguments = {});
    void stop();

    // Set when nginx or openssl is missing or nginx cannot run here: QSKIP with it. Empty
    // when start() failed for any other reason (a fault: fail the test).
    QString skipReason() const { return m_skipReason; }

    int port(Kind kind = Good) const;
    QString baseUrl(Kind kind = Good) const; // https://localhost:<port>/
    QString caFile() const;                  // the CA that signed Good, WrongHost and Expired
    QString untrustedCaFile() const;         // the CA that signed Untrusted
    QString user() const;
    QString password() const;

private:
    QString info(const char* key) const;

    QProcess process;
    QJsonObject m_info;
    QString m_skipReason;
};
