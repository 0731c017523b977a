#pragma once

#include "field/widget/FieldStrip.h"
#include "tls/TlsSettings.h"

#include <QAction>
#include <QString>

#include <optional>

class QCheckBox;
class QLineEdit;
class QPushButton;

// "TLS…" in both fields' menus, a strip along the receive log's bottom edge:
// Use TLS (off at start), Check the server's certificate (the client's, on at
// start), the server's certificate (made for this run, or chosen with Choose
// Certificate…: PEM or PKCS#12, asking for a password when it has one), and
// a status: what the next role does, or what the last handshake agreed.
//
// Invariants: nothing is stored between runs; a role takes the settings when
// it starts, so a change applies to the next role; Escape closes the strip
// and changes nothing.
class TlsStrip final : public FieldStrip
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TlsStrip)

public:
    TlsStrip(TextField *log, TextField *sendBox);

    bool isOn() const;
    // The TLS a client role starting now speaks; none while Use TLS is off.
    std::optional<TlsSettings> forClient() const;
    // The same for a server role, with its certificate: this run's is made
    // the first time one is needed. Throws std::runtime_error when it
    // cannot be made.
    std::optional<TlsSettings> forServer();
    // What the last handshake agreed, or how the connection ended.
    void showSession(const QString &status);

Q_SIGNALS:
    void useChanged(bool on);

protected:
    void stop() override { }
    void activate() override;

private:
    void chooseCertificate();
    // Reads the file, asking for its password as long as one may help.
    void readCertificate(const QString &path);
    void useRunCertificate();
    void showServerCertificate();
    void showUse();

    QCheckBox *m_use;
    QCheckBox *m_checkPeer;
    QLineEdit *m_serverCertificate; // read-only: its fingerprint can be copied
    QPushButton *m_choose;
    QPushButton *m_runCertificate;
    QAction m_openFromSendBox;
    std::optional<TlsIdentity> m_run;    // this run's, once made
    std::optional<TlsIdentity> m_chosen; // from a file, while chosen
    QString m_chosenName;
    QString m_lastFolder;
};
