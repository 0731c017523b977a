#pragma once

#include "tls/TlsSettings.h"

#include <QHostAddress>
#include <QList>
#include <QString>

// This run's server certificate, for a server role given none: a fresh
// ECDSA P-256 key and a certificate it signs itself, CN the host name, with
// the name and every address in its subject alternative names, valid from an
// hour ago (clocks differ) for 30 days. Made with the system's own crypto
// (runCertificatePosix.cpp: OpenSSL; runCertificateWindows.cpp: CryptoAPI),
// in a few milliseconds. Throws std::runtime_error with the library's reason.
TlsIdentity makeRunCertificate(const QString &hostName, const QList<QHostAddress> &addresses);
