#include "tls/runCertificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

template<typename T, void (*free)(T *)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(free), free>>;

[[noreturn]] void fail(const char *step)
{
    char reason[256] = "unknown reason";
    if (const unsigned long code = ERR_get_error())
        ERR_error_string_n(code, reason, sizeof reason);
    ERR_clear_error();
    throw std::runtime_error(std::string("making this run's certificate (") + step
                             + "): " + reason);
}

void check(int result, const char *step)
{
    if (result <= 0)
        fail(step);
}

QByteArray pem(const std::function<int(BIO *)> &write, const char *step)
{
    Owned<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
    if (!bio)
        fail(step);
    check(write(bio.get()), step);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(size));
}

} // namespace

TlsIdentity makeRunCertificate(const QString &hostName, const QList<QHostAddress> &addresses)
{
    Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_EC_gen("P-256"));
    if (!key)
        fail("key");
    Owned<X509, X509_free> certificate(X509_new());
    if (!certificate)
        fail("certificate");
    X509 *cert = certificate.get();
    check(X509_set_version(cert, 2), "version");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial), "serial");
    serial[0] &= 0x7F; // positive
    Owned<BIGNUM, BN_free> serialNumber(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!serialNumber || !BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(cert)))
        fail("serial");
    if (!X509_gmtime_adj(X509_getm_notBefore(cert), -3600)
        || !X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600))
        fail("validity");
    check(X509_set_pubkey(cert, key.get()), "public key");

    const QByteArray name = hostName.toUtf8().left(64);
    X509_NAME *subject = X509_get_subject_name(cert);
    check(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char *>(name.constData()),
                                     int(name.size()), -1, 0),
          "name");
    check(X509_set_issuer_name(cert, subject), "issuer");

    QByteArray alt = "DNS:" + hostName.toUtf8();
    if (hostName.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        alt += ",DNS:localhost";
    for (const QHostAddress &address : addresses) {
        QHostAddress plain = address;
        plain.setScopeId(QString());
        alt += ",IP:" + plain.toString().toLatin1();
    }
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    // No key usage: one without certificate signing would make the
    // certificate not count as issued by itself, and clients then say
    // "unknown issuer" where "self-signed" is the truth.
    const std::pair<int, QByteArray> extensions[] = {
        { NID_subject_alt_name, alt },
        { NID_basic_constraints, "critical,CA:FALSE" },
        { NID_ext_key_usage, "serverAuth" },
    };
    for (const auto &[nid, value] : extensions) {
        Owned<X509_EXTENSION, X509_EXTENSION_free> extension(
                X509V3_EXT_conf_nid(nullptr, &context, nid, value.constData()));
        if (!extension)
            fail("extension");
        check(X509_add_ext(cert, extension.get(), -1), "extension");
    }
    check(X509_sign(cert, key.get(), EVP_sha256()), "signature");

    TlsIdentity identity;
    identity.certificate = QSslCertificate(
            pem([cert](BIO *bio) { return PEM_write_bio_X509(bio, cert); }, "PEM"));
    identity.key
            = QSslKey(pem(
                              [&key](BIO *bio) {
                                  return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr,
                                                                  0, nullptr, nullptr);
                              },
                              "PEM"),
                      QSsl::Ec);
    if (identity.isNull())
        throw std::runtime_error("making this run's certificate: the TLS backend cannot read it");
    return identity;
}
