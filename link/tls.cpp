#include "ui/frmMain.h"

#include "log/ReceiveLog.h"
#include "strips/TlsStrip.h"
#include "ui/fieldLooks.h"

#include <QRadioButton>

#include <exception>

void frmMain::connectTls()
{
    connect(tlsSettings, &TlsStrip::useChanged, this,
            [this](bool on) { guarded("TLS", [this, on] { tlsSettings_UseChanged(on); }); });
    connect(Winsock, &::Winsock::TlsEvent, this, [this](const QString &status) {
        guarded("TLS", [this, &status] { Winsock_Tls(status); });
    });
    connect(Winsock, &::Winsock::TlsFailedEvent, this, [this](const QString &reason) {
        guarded("TLS", [this, &reason] { Winsock_TlsFailed(reason); });
    });
}

void frmMain::tlsSettings_UseChanged(bool on)
{
    setCornerMarks(txtReceive, on ? QStringList { QStringLiteral("TLS") } : QStringList());
    receiveLog->showTls(on);
}

std::optional<TlsSettings> frmMain::serverTls()
{
    try {
        return tlsSettings->forServer();
    } catch (const std::exception &failure) {
        setPanelText(1, QStringLiteral("TLS failed: %1").arg(QString::fromUtf8(failure.what())));
        throw;
    }
}

void frmMain::Winsock_Tls(const QString &status)
{
    tlsSettings->showSession(status);
}

void frmMain::Winsock_TlsFailed(const QString &reason)
{
    const QString text = QStringLiteral("TLS failed: %1").arg(reason);
    setPanelText(1, text);
    tlsSettings->showSession(text);
    // The client's connection is closed: selecting Client again tries anew.
    if (optClient->isChecked() && Winsock->State() == ::Winsock::Failed) {
        setPanelText(3, QString());
        clearChoice(optClient);
    }
}
