#include "tls/identityFile.h"

#include <QBuffer>
#include <QRegularExpression>

namespace {

// The first private key block, whatever its kind, so that the certificate's
// blocks around it do not stand in the way of its reading.
QByteArray privateKeyBlock(const QByteArray &bytes)
{
    static const QRegularExpression block(
            QStringLiteral("-----BEGIN ([A-Z ]*)PRIVATE KEY-----.*?-----END \\1PRIVATE KEY-----"),
            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = block.match(QString::fromLatin1(bytes));
    return match.hasMatch() ? match.captured(0).toLatin1() : QByteArray();
}

bool isEncryptedKey(const QByteArray &key)
{
    return key.contains("ENCRYPTED");
}

IdentityRead readPem(const QByteArray &bytes, const QString &password)
{
    IdentityRead read;
    QList<QSslCertificate> certificates = QSslCertificate::fromData(bytes, QSsl::Pem);
    const QByteArray keyBlock = privateKeyBlock(bytes);
    if (certificates.isEmpty()) {
        read.problem = QStringLiteral("the file holds no certificate");
        return read;
    }
    if (keyBlock.isEmpty()) {
        read.problem = QStringLiteral("the file holds no private key; put the key in the same "
                                      "file as the certificate");
        return read;
    }
    if (isEncryptedKey(keyBlock) && password.isEmpty()) {
        read.needsPassword = true;
        read.problem = QStringLiteral("the private key is protected by a password");
        return read;
    }
    const QByteArray phrase = password.toUtf8();
    for (const QSsl::KeyAlgorithm algorithm : { QSsl::Ec, QSsl::Rsa, QSsl::Dsa }) {
        const QSslKey key(keyBlock, algorithm, QSsl::Pem, QSsl::PrivateKey, phrase);
        if (!key.isNull()) {
            read.identity = { certificates.takeFirst(), key, certificates };
            return read;
        }
    }
    read.needsPassword = isEncryptedKey(keyBlock);
    read.problem = read.needsPassword ? QStringLiteral("the password is wrong")
                                      : QStringLiteral("the private key cannot be read");
    return read;
}

IdentityRead readPkcs12(const QByteArray &bytes, const QString &password)
{
    IdentityRead read;
    QByteArray copy = bytes;
    QBuffer device(&copy);
    device.open(QIODevice::ReadOnly);
    TlsIdentity identity;
    if (QSslCertificate::importPkcs12(&device, &identity.key, &identity.certificate,
                                      &identity.chain, password.toUtf8())
        && !identity.isNull()) {
        read.identity = identity;
        return read;
    }
    // Qt does not tell a wrong password from a damaged file.
    read.needsPassword = true;
    read.problem
            = password.isEmpty()
                      ? QStringLiteral("the file is not PEM, and as PKCS#12 it needs a password")
                      : QStringLiteral(
                              "the password is wrong, or the file is neither PEM nor PKCS#12");
    return read;
}

} // namespace

IdentityRead readIdentity(const QByteArray &bytes, const QString &password)
{
    if (bytes.size() > maxIdentityFileBytes) {
        IdentityRead read;
        read.problem = QStringLiteral("the file is larger than %1 KiB; a certificate file is "
                                      "a few")
                               .arg(maxIdentityFileBytes / 1024);
        return read;
    }
    IdentityRead read = bytes.contains("-----BEGIN ") ? readPem(bytes, password)
                                                      : readPkcs12(bytes, password);
#ifdef Q_OS_WIN
    // Qt's SChannel backend hands only RSA and DSA keys to the system; an EC
    // key would fail every handshake.
    if (!read.identity.isNull() && read.identity.key.algorithm() != QSsl::Rsa
        && read.identity.key.algorithm() != QSsl::Dsa) {
        read.identity = TlsIdentity();
        read.problem = QStringLiteral("the key is not RSA; TLS on Windows takes RSA keys only");
    }
#endif
    return read;
}
