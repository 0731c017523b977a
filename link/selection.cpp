#include "ui/frmMain.h"

#include "net/Winsock.h"

#include <QRadioButton>

void frmMain::optTCP_Click()
{
    applyTransportRules();
    if (!optTCP->isChecked())
        return;
    if (Winsock->Protocol() != ::Winsock::TCP) {
        Winsock->Close();
        Winsock->setProtocol(::Winsock::TCP);
    }
    if (optServer->isChecked())
        TCP_Server();
    // Read again: the server role may have cleared its own choice.
    if (optClient->isChecked())
        TCP_Client();
}

void frmMain::optServer_Click()
{
    TCP_Server();
}

void frmMain::optClient_Click()
{
    TCP_Client();
}
