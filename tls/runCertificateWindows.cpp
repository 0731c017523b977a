#include "tls/runCertificate.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <QByteArray>
#include <QtEndian>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Qt's SChannel backend hands a key to the system only as RSA or DSA (it
// wraps it in a PKCS#12 of its own making), so this run's key is RSA 2048
// here, made and signed by the system's own CryptoAPI provider.

namespace {

[[noreturn]] void fail(const char *step)
{
    const DWORD code = GetLastError();
    char reason[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   reason, sizeof reason, nullptr);
    std::string text = reason;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    if (text.empty())
        text = "error " + std::to_string(code);
    throw std::runtime_error(std::string("making this run's certificate (") + step + "): " + text);
}

void check(BOOL ok, const char *step)
{
    if (!ok)
        fail(step);
}

struct Provider
{
    HCRYPTPROV handle = 0;
    ~Provider()
    {
        if (handle)
            CryptReleaseContext(handle, 0);
    }
};

struct Key
{
    HCRYPTKEY handle = 0;
    ~Key()
    {
        if (handle)
            CryptDestroyKey(handle);
    }
};

// One CryptEncodeObjectEx of `structType`, into bytes that own themselves.
std::vector<BYTE> encode(LPCSTR structType, const void *value, const char *step)
{
    DWORD size = 0;
    check(CryptEncodeObjectEx(X509_ASN_ENCODING, structType, value, 0, nullptr, nullptr, &size),
          step);
    std::vector<BYTE> bytes(size);
    check(CryptEncodeObjectEx(X509_ASN_ENCODING, structType, value, 0, nullptr, bytes.data(),
                              &size),
          step);
    bytes.resize(size);
    return bytes;
}

// DER of one unsigned INTEGER given little-endian, as CryptoAPI keeps them.
void appendInteger(QByteArray &der, const BYTE *littleEndian, DWORD size)
{
    QByteArray value;
    for (DWORD i = size; i-- > 0;)
        value.append(char(littleEndian[i]));
    while (value.size() > 1 && value.at(0) == 0)
        value.remove(0, 1);
    if (value.isEmpty() || (uchar(value.at(0)) & 0x80))
        value.prepend('\0');
    der.append('\x02');
    const qsizetype length = value.size();
    if (length < 0x80) {
        der.append(char(length));
    } else {
        der.append(char(0x82));
        der.append(char(length >> 8));
        der.append(char(length & 0xFF));
    }
    der.append(value);
}

// PKCS#1 RSAPrivateKey from a PRIVATEKEYBLOB: modulus, then the five halves,
// then the private exponent, each little-endian after the header.
QByteArray rsaPrivateKeyDer(const std::vector<BYTE> &blob)
{
    const auto *header = reinterpret_cast<const RSAPUBKEY *>(blob.data() + sizeof(BLOBHEADER));
    const DWORD bytes = header->bitlen / 8;
    const DWORD half = bytes / 2;
    const BYTE *at = blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    if (blob.size() < sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + bytes * 2 + half * 5)
        throw std::runtime_error("making this run's certificate: the key came out short");
    const BYTE *modulus = at;
    const BYTE *prime1 = modulus + bytes;
    const BYTE *prime2 = prime1 + half;
    const BYTE *exponent1 = prime2 + half;
    const BYTE *exponent2 = exponent1 + half;
    const BYTE *coefficient = exponent2 + half;
    const BYTE *privateExponent = coefficient + half;
    BYTE publicExponent[4];
    qToLittleEndian(quint32(header->pubexp), publicExponent);

    QByteArray body;
    const BYTE zero = 0;
    appendInteger(body, &zero, 1);
    appendInteger(body, modulus, bytes);
    appendInteger(body, publicExponent, sizeof publicExponent);
    appendInteger(body, privateExponent, bytes);
    appendInteger(body, prime1, half);
    appendInteger(body, prime2, half);
    appendInteger(body, exponent1, half);
    appendInteger(body, exponent2, half);
    appendInteger(body, coefficient, half);
    QByteArray der("\x30\x82", 2);
    der.append(char(body.size() >> 8));
    der.append(char(body.size() & 0xFF));
    return der + body;
}

FILETIME fileTimeFromNow(qint64 seconds)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart += quint64(seconds * 10'000'000);
    return { value.LowPart, value.HighPart };
}

} // namespace

TlsIdentity makeRunCertificate(const QString &hostName, const QList<QHostAddress> &addresses)
{
    Provider provider;
    check(CryptAcquireContextW(&provider.handle, nullptr, nullptr, PROV_RSA_AES,
                               CRYPT_VERIFYCONTEXT | CRYPT_SILENT),
          "provider");
    Key key;
    check(CryptGenKey(provider.handle, AT_KEYEXCHANGE, (2048U << 16) | CRYPT_EXPORTABLE,
                      &key.handle),
          "key");

    DWORD size = 0;
    check(CryptExportKey(key.handle, 0, PRIVATEKEYBLOB, 0, nullptr, &size), "key export");
    std::vector<BYTE> privateBlob(size);
    check(CryptExportKey(key.handle, 0, PRIVATEKEYBLOB, 0, privateBlob.data(), &size),
          "key export");
    privateBlob.resize(size);

    size = 0;
    check(CryptExportPublicKeyInfo(provider.handle, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr,
                                   &size),
          "public key");
    std::vector<BYTE> publicInfo(size);
    auto *publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO *>(publicInfo.data());
    check(CryptExportPublicKeyInfo(provider.handle, AT_KEYEXCHANGE, X509_ASN_ENCODING, publicKey,
                                   &size),
          "public key");

    // The subject: CN is the host name, as one RDN of UTF-8.
    std::wstring commonName = hostName.left(64).toStdWString();
    CERT_RDN_ATTR nameAttribute {};
    nameAttribute.pszObjId = const_cast<LPSTR>(szOID_COMMON_NAME);
    nameAttribute.dwValueType = CERT_RDN_UTF8_STRING;
    nameAttribute.Value.pbData = reinterpret_cast<BYTE *>(commonName.data());
    nameAttribute.Value.cbData = DWORD(commonName.size() * sizeof(wchar_t));
    CERT_RDN rdn { 1, &nameAttribute };
    CERT_NAME_INFO nameInfo { 1, &rdn };
    std::vector<BYTE> subject = encode(X509_UNICODE_NAME, &nameInfo, "name");

    // The names a client may reach it by: the host, localhost, each address.
    std::vector<std::wstring> dnsNames { hostName.toStdWString() };
    if (hostName.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        dnsNames.push_back(L"localhost");
    std::vector<QByteArray> ipBytes;
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            QByteArray bytes(4, '\0');
            qToBigEndian(address.toIPv4Address(), bytes.data());
            ipBytes.push_back(bytes);
        } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            const Q_IPV6ADDR ip = address.toIPv6Address();
            ipBytes.emplace_back(reinterpret_cast<const char *>(ip.c), 16);
        }
    }
    std::vector<CERT_ALT_NAME_ENTRY> entries;
    for (std::wstring &name : dnsNames) {
        CERT_ALT_NAME_ENTRY entry {};
        entry.dwAltNameChoice = CERT_ALT_NAME_DNS_NAME;
        entry.pwszDNSName = name.data();
        entries.push_back(entry);
    }
    for (QByteArray &bytes : ipBytes) {
        CERT_ALT_NAME_ENTRY entry {};
        entry.dwAltNameChoice = CERT_ALT_NAME_IP_ADDRESS;
        entry.IPAddress.cbData = DWORD(bytes.size());
        entry.IPAddress.pbData = reinterpret_cast<BYTE *>(bytes.data());
        entries.push_back(entry);
    }
    CERT_ALT_NAME_INFO altNames { DWORD(entries.size()), entries.data() };
    std::vector<BYTE> altNameValue = encode(X509_ALTERNATE_NAME, &altNames, "names");

    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_ENHKEY_USAGE usage { 1, &serverAuth };
    std::vector<BYTE> usageValue = encode(X509_ENHANCED_KEY_USAGE, &usage, "usage");
    CERT_BASIC_CONSTRAINTS2_INFO constraints { FALSE, FALSE, 0 };
    std::vector<BYTE> constraintsValue
            = encode(X509_BASIC_CONSTRAINTS2, &constraints, "constraints");

    CERT_EXTENSION extensions[] = {
        { const_cast<LPSTR>(szOID_SUBJECT_ALT_NAME2),
          FALSE,
          { DWORD(altNameValue.size()), altNameValue.data() } },
        { const_cast<LPSTR>(szOID_ENHANCED_KEY_USAGE),
          FALSE,
          { DWORD(usageValue.size()), usageValue.data() } },
        { const_cast<LPSTR>(szOID_BASIC_CONSTRAINTS2),
          TRUE,
          { DWORD(constraintsValue.size()), constraintsValue.data() } },
    };

    BYTE serial[16];
    check(CryptGenRandom(provider.handle, sizeof serial, serial), "serial");
    serial[sizeof serial - 1] &= 0x7F; // little-endian: the top byte keeps it positive

    CERT_INFO info {};
    info.dwVersion = CERT_V3;
    info.SerialNumber = { sizeof serial, serial };
    info.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_SHA256RSA);
    info.Issuer = { DWORD(subject.size()), subject.data() };
    info.Subject = info.Issuer;
    info.NotBefore = fileTimeFromNow(-3600);
    info.NotAfter = fileTimeFromNow(30LL * 24 * 3600);
    info.SubjectPublicKeyInfo = *publicKey;
    info.cExtension = DWORD(std::size(extensions));
    info.rgExtension = extensions;

    size = 0;
    check(CryptSignAndEncodeCertificate(provider.handle, AT_KEYEXCHANGE, X509_ASN_ENCODING,
                                        X509_CERT_TO_BE_SIGNED, &info, &info.SignatureAlgorithm,
                                        nullptr, nullptr, &size),
          "signature");
    std::vector<BYTE> certificate(size);
    check(CryptSignAndEncodeCertificate(provider.handle, AT_KEYEXCHANGE, X509_ASN_ENCODING,
                                        X509_CERT_TO_BE_SIGNED, &info, &info.SignatureAlgorithm,
                                        nullptr, certificate.data(), &size),
          "signature");
    certificate.resize(size);

    TlsIdentity identity;
    identity.certificate = QSslCertificate(
            QByteArray(reinterpret_cast<const char *>(certificate.data()), qsizetype(size)),
            QSsl::Der);
    identity.key = QSslKey(rsaPrivateKeyDer(privateBlob), QSsl::Rsa, QSsl::Der);
    SecureZeroMemory(privateBlob.data(), privateBlob.size());
    if (identity.isNull())
        throw std::runtime_error("making this run's certificate: the TLS backend cannot read it");
    return identity;
}
