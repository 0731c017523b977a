#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// A server's certificate with its private key, and the chain that goes with
// it (a PKCS#12 file's issuers).
struct TlsIdentity
{
    QSslCertificate certificate;
    QSslKey key;
    QList<QSslCertificate> chain;

    bool isNull() const { return certificate.isNull() || key.isNull(); }
};

// How a TCP role started with TLS speaks it; taken when the role starts, so
// a role keeps what it started with.
struct TlsSettings
{
    // The client checks the server's certificate against the system's roots
    // and the name it was asked to reach.
    bool checkPeer = true;
    // The server's own; a server role cannot start without one.
    TlsIdentity identity;
};

// Longest a handshake may take before the connection is given up.
inline constexpr int tlsHandshakeTimeoutMs = 10'000;
