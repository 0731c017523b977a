#pragma once

#include "tls/TlsSettings.h"

#include <QByteArray>
#include <QString>

// A server certificate the user chose: a PEM file holding the certificate
// (then any chain) and its private key in any order, or a PKCS#12 file.
// Nothing of it is kept beyond the run.
struct IdentityRead
{
    TlsIdentity identity;       // null when it could not be read
    QString problem;            // why not, in words
    bool needsPassword = false; // asking for one (again) may get through
};

// Larger files are refused unread: a certificate file is a few kilobytes.
inline constexpr qint64 maxIdentityFileBytes = 1024 * 1024;

// `password`: the PKCS#12 file's, or the PEM key's when it is encrypted;
// empty tries without one.
IdentityRead readIdentity(const QByteArray &bytes, const QString &password);
