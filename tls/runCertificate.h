#pragma once

#include "tls/TlsSettings.h"

#include <QHostAddress>
#include <QList>
#include <QString>

// This run's server certificate, for a server role given none: a fresh key
// (ECDSA P-256; on Windows RSA 2048, the only kind Qt's SChannel backend
// hands to the system) and a certificate it signs itself, CN the host name, with
// the name and every address in its subject alternative names, valid from an
// hour ago (clocks differ) for 30 days. Made with the system's own crypto
// (runCertificatePosix.cpp: OpenSSL; runCertificateWindows.cpp: CryptoAPI),
// in a few milliseconds (the RSA key of Windows takes longer). Throws std::runtime_error with the
// library's reason.
TlsIdentity makeRunCertificate(const QString &hostName, const QList<QHostAddress> &addresses);
