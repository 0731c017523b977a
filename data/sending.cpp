#include "ui/frmMain.h"

#include "field/TextField.h"
#include "net/Winsock.h"
#include "text/portText.h"

void frmMain::cmdSendData_Click()
{
    setPanelText(1, QString());
    if (Winsock->Protocol() == ::Winsock::UDP) {
        if (isBlankField(Winsock->RemoteHost())) {
            setPanelText(1, QStringLiteral("No specified remote host!"));
            return;
        }
    } else {
        if (Winsock->State() != ::Winsock::Connected) {
            setPanelText(1, QStringLiteral("No avaiable connection..."));
            return;
        }
    }
    Winsock->SendData(txtSend->text());
}
