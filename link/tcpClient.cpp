#include "ui/frmMain.h"

#include "net/Winsock.h"
#include "strips/TlsStrip.h"
#include "text/portText.h"

#include <QLineEdit>
#include <QRadioButton>

void frmMain::TCP_Client()
{
    // A role that cannot start says so only by dropping its own choice.
    try {
        setPanelText(3, QString());
        setRemoteFieldsLocked(false, RemoteText::Keep);
        Winsock->Close();
        useLocalPortOrDefault();
        if (isBlankField(txtRemoteHostIP->text())
            || portTextValue(txtRemoteHostPort->text()) == 0) {
            clearChoice(optClient);
            return;
        }
        Winsock->setRemoteHost(trimSpaces(txtRemoteHostIP->text()).toString());
        Winsock->setRemotePort(portTextWhole(txtRemoteHostPort->text()));
        Winsock->setTls(tlsSettings->forClient());
        Winsock->Connect();
        // An earlier failure stands until the connection is up: one that
        // never comes has not mended it.
        setPanelText(3, QStringLiteral("Connecting..."));
    } catch (const std::exception &) {
        clearChoice(optClient);
    }
}

void frmMain::Winsock_Connect()
{
    if (!optClient->isChecked())
        return;
    clearStaleLinkFailure();
    setPanelText(1, QStringLiteral("Connect with remote server success."));
    setPanelText(3, QStringLiteral("Connect"));
}
