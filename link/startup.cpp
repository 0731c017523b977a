#include "ui/frmMain.h"

#include "net/Winsock.h"
#include "ui/fieldLooks.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

// Start-up goes on past a step that fails; it reports nothing.
template<typename Step>
void skipOnFailure(Step &&step)
{
    try {
        step();
    } catch (const std::exception &) { }
}

} // namespace

void frmMain::Form_Load()
{
    skipOnFailure([this] { Winsock->setProtocol(::Winsock::UDP); });
    skipOnFailure([this] { Winsock->setRemotePort(1001); });
    skipOnFailure([this] { Winsock->Bind(1000); });
    skipOnFailure([this] { txtRemoteHostPort->setText(QString::number(Winsock->RemotePort())); });
    skipOnFailure([this] { txtLocalHostPortSet->setText(QString::number(Winsock->LocalPort())); });
    skipOnFailure([this] { optUDP->setChecked(true); });
    skipOnFailure([this] { optUDP_Click(); });
    skipOnFailure([this] { RefreshLocalHostInfo(); });
}

void frmMain::optUDP_Click()
{
    applyTransportRules();
    if (!optUDP->isChecked())
        return;
    if (Winsock->Protocol() != ::Winsock::UDP) {
        Winsock->Close();
        Winsock->setProtocol(::Winsock::UDP);
    }
    setRemoteFieldsLocked(false, RemoteText::Clear);
    setPanelText(3, QString());
}

void frmMain::RefreshLocalHostInfo()
{
    if (bApplyBusy)
        return;
    showFromStart(txtLocalHostName, Winsock->LocalHostName());
    showFromStart(txtLocalHostIP, Winsock->LocalIP());
    showFromStart(txtLocalHostPort, QString::number(Winsock->LocalPort()));
}

void frmMain::LocalHostInfoRefreshTimer_Timer()
{
    RefreshLocalHostInfo();
}
