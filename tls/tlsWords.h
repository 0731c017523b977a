#pragma once

#include <QAbstractSocket>
#include <QList>
#include <QSsl>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

// What a TLS connection did, in the words panel 1 and the TLS strip show:
// the same words whichever backend (OpenSSL, SChannel) found it.

// The certificate problems a check found, each once, in words a user reads
// after "TLS failed: " ("the certificate is self-signed (CN=device.local)").
// `peerName`: the name the client asked for, which a mismatch names.
QString certificateProblems(const QList<QSslError> &errors, const QString &peerName);
// The same, short, after "not verified: " ("self-signed, for another name").
QString certificateProblemsBrief(const QList<QSslError> &errors);

// Why a handshake ended with a socket error, from the error and the TLS
// library's own text: the peer speaks no TLS, shares no version or cipher,
// refused this end's certificate, closed, or took too long.
QString handshakeFailure(QAbstractSocket::SocketError error, const QString &libraryText);

// "TLS 1.3"; "TLS" for a version it has no name for.
QString protocolName(QSsl::SslProtocol protocol);
// "CN=example.com", else the organisation, else "(no name)".
QString subjectName(const QSslCertificate &certificate);
QString issuerName(const QSslCertificate &certificate);
// SHA-256 of the certificate, as colon-separated hex pairs.
QString fingerprint(const QSslCertificate &certificate);

// After a handshake: "TLS 1.3, TLS_AES_256_GCM_SHA384; server CN=example.com,
// issued by CN=Example CA; verified" ("not verified: self-signed" when the
// check was off and found problems, or was not asked for).
struct TlsSession
{
    QSsl::SslProtocol protocol = QSsl::UnknownProtocol;
    QString cipher;
    QSslCertificate peerCertificate; // the server's, on the client
    bool isClient = true;
    bool checked = true;
    QList<QSslError> ignored;
};
QString sessionText(const TlsSession &session);
