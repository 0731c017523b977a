#include "tls/tlsWords.h"

#include "tls/TlsSettings.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>

#include <array>
#include <initializer_list>

namespace {

QString firstInfo(const QStringList &values)
{
    return values.isEmpty() ? QString() : values.first();
}

QString nameOf(const QString &commonName, const QString &organization)
{
    if (!commonName.isEmpty())
        return QStringLiteral("CN=") + commonName;
    if (!organization.isEmpty())
        return QStringLiteral("O=") + organization;
    return QStringLiteral("(no name)");
}

QString altNames(const QSslCertificate &certificate)
{
    QStringList names;
    const auto all = certificate.subjectAlternativeNames();
    for (auto it = all.cbegin(); it != all.cend(); ++it)
        names << it.value();
    return names.join(QStringLiteral(", "));
}

QString longWords(const QSslError &error, const QString &peerName)
{
    const QSslCertificate &certificate = error.certificate();
    const QString name = subjectName(certificate);
    switch (error.error()) {
    case QSslError::SelfSignedCertificate:
        return QStringLiteral("the certificate is self-signed (%1)").arg(name);
    case QSslError::SelfSignedCertificateInChain:
        return QStringLiteral("the certificate's chain ends in an untrusted self-signed "
                              "certificate (%1)")
                .arg(name);
    case QSslError::HostNameMismatch: {
        const QString names = altNames(certificate);
        return QStringLiteral("the certificate is for another name (%1%2), not %3")
                .arg(name, names.isEmpty() ? QString() : QStringLiteral("; names ") + names,
                     peerName);
    }
    case QSslError::CertificateExpired:
        return QStringLiteral("the certificate has expired (%1, on %2)")
                .arg(name, certificate.expiryDate().toUTC().toString(Qt::ISODate));
    case QSslError::CertificateNotYetValid:
        return QStringLiteral("the certificate is not valid yet (%1, from %2)")
                .arg(name, certificate.effectiveDate().toUTC().toString(Qt::ISODate));
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
        // SChannel says "untrusted root" where OpenSSL says "self-signed".
        if (certificate.isSelfSigned())
            return QStringLiteral("the certificate is self-signed (%1)").arg(name);
        return QStringLiteral("the certificate's issuer is not trusted (%1, issued by %2)")
                .arg(name, issuerName(certificate));
    case QSslError::CertificateRevoked:
        return QStringLiteral("the certificate has been revoked (%1)").arg(name);
    case QSslError::NoPeerCertificate:
        return QStringLiteral("the peer sent no certificate");
    default:
        return error.errorString();
    }
}

QString briefWords(const QSslError &error)
{
    switch (error.error()) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
        return QStringLiteral("self-signed");
    case QSslError::HostNameMismatch:
        return QStringLiteral("for another name");
    case QSslError::CertificateExpired:
        return QStringLiteral("expired");
    case QSslError::CertificateNotYetValid:
        return QStringLiteral("not valid yet");
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
        return error.certificate().isSelfSigned() ? QStringLiteral("self-signed")
                                                  : QStringLiteral("issuer not trusted");
    case QSslError::CertificateRevoked:
        return QStringLiteral("revoked");
    case QSslError::NoPeerCertificate:
        return QStringLiteral("no certificate");
    default:
        return error.errorString();
    }
}

bool mentions(const QString &text, std::initializer_list<const char *> phrases)
{
    for (const char *phrase : phrases) {
        if (text.contains(QLatin1String(phrase), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

QString certificateProblems(const QList<QSslError> &errors, const QString &peerName)
{
    QStringList words;
    for (const QSslError &error : errors) {
        const QString said = longWords(error, peerName);
        if (!words.contains(said))
            words << said;
    }
    return words.join(QStringLiteral("; "));
}

QString certificateProblemsBrief(const QList<QSslError> &errors)
{
    QStringList words;
    for (const QSslError &error : errors) {
        const QString said = briefWords(error);
        if (!words.contains(said))
            words << said;
    }
    return words.join(QStringLiteral(", "));
}

QString handshakeFailure(QAbstractSocket::SocketError error, const QString &libraryText)
{
    // OpenSSL's reason strings, then SChannel's messages for the same cases.
    if (mentions(libraryText,
                 { "wrong version number", "unknown protocol", "packet length too long",
                   "http request", "record layer failure", "record_layer_failure",
                   "unexpected message", "badly formatted", "token supplied" }))
        return QStringLiteral("the peer speaks no TLS");
    if (mentions(libraryText,
                 { "no shared cipher", "no protocols available", "unsupported protocol",
                   "version too low", "alert protocol version", "alert handshake failure",
                   "no suitable signature", "inappropriate fallback", "common algorithm" }))
        return QStringLiteral("no protocol version or cipher is shared");
    if (mentions(libraryText,
                 { "alert bad certificate", "alert unknown ca", "alert certificate unknown",
                   "alert certificate expired", "alert decrypt error", "alert access denied" })) {
        // "…:tlsv1 alert unknown ca": the alert's own name says enough.
        static const QRegularExpression alert(QStringLiteral("alert ([a-z ]+)$"),
                                              QRegularExpression::CaseInsensitiveOption);
        const QRegularExpressionMatch named = alert.match(libraryText);
        return QStringLiteral("the peer refused the certificate (%1)")
                .arg(named.hasMatch() ? QStringLiteral("alert: ") + named.captured(1)
                                      : libraryText);
    }
    switch (error) {
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("no handshake came within %1 s").arg(tlsHandshakeTimeoutMs / 1000);
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("the peer closed the connection during the handshake (it may "
                              "speak no TLS, or refuse the certificate)");
    default:
        return libraryText.isEmpty() ? QStringLiteral("the handshake failed") : libraryText;
    }
}

QString protocolName(QSsl::SslProtocol protocol)
{
    switch (protocol) {
    case QSsl::TlsV1_3:
        return QStringLiteral("TLS 1.3");
    case QSsl::TlsV1_2:
        return QStringLiteral("TLS 1.2");
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
    case QSsl::TlsV1_1:
        return QStringLiteral("TLS 1.1");
    case QSsl::TlsV1_0:
        return QStringLiteral("TLS 1.0");
        QT_WARNING_POP
    default:
        return QStringLiteral("TLS");
    }
}

QString subjectName(const QSslCertificate &certificate)
{
    return nameOf(firstInfo(certificate.subjectInfo(QSslCertificate::CommonName)),
                  firstInfo(certificate.subjectInfo(QSslCertificate::Organization)));
}

QString issuerName(const QSslCertificate &certificate)
{
    return nameOf(firstInfo(certificate.issuerInfo(QSslCertificate::CommonName)),
                  firstInfo(certificate.issuerInfo(QSslCertificate::Organization)));
}

QString fingerprint(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

QString sessionText(const TlsSession &session)
{
    QString text = protocolName(session.protocol);
    if (!session.cipher.isEmpty())
        text += QStringLiteral(", ") + session.cipher;
    if (!session.isClient)
        return text;
    if (session.peerCertificate.isNull())
        return text + QStringLiteral("; the server sent no certificate");
    text += QStringLiteral("; server %1, issued by %2")
                    .arg(subjectName(session.peerCertificate), issuerName(session.peerCertificate));
    if (session.checked)
        return text + QStringLiteral("; verified");
    if (session.ignored.isEmpty())
        return text + QStringLiteral("; not checked");
    return text + QStringLiteral("; not verified: ") + certificateProblemsBrief(session.ignored);
}
