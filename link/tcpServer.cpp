#include "ui/frmMain.h"

#include "net/Winsock.h"
#include "text/groupedNumber.h"
#include "ui/fieldLooks.h"

#include <QLineEdit>
#include <QRadioButton>

void frmMain::TCP_Server()
{
    // A role that cannot start says so only by dropping its own choice.
    try {
        setRemoteFieldsLocked(true, RemoteText::Clear);
        Winsock->Close();
        useLocalPortOrDefault();
        Winsock->setTls(serverTls());
        Winsock->Listen();
        setPanelText(3, QStringLiteral("Listening..."));
        clearStaleLinkFailure();
    } catch (const std::exception &) {
        clearChoice(optServer);
    }
}

void frmMain::Winsock_ConnectionRequest(int requestId)
{
    if (Winsock->State() != ::Winsock::Closed)
        Winsock->Close();
    Winsock->Accept(requestId);
    if (!optServer->isChecked())
        return;
    setPanelText(1, QStringLiteral("Connect with remote client success."));
    setPanelText(3, QStringLiteral("Connect"));
    showFromStart(txtRemoteHostIP, Winsock->RemoteHostIP());
    txtRemoteHostPort->setText(QString::number(Winsock->RemotePort()));
}

void frmMain::Winsock_Close()
{
    // Server half first; clearing Server leaves the client half nothing to do.
    if (optServer->isChecked()) {
        setPanelText(1, QStringLiteral("Remote client disconnect..."));
        setPanelText(3, QStringLiteral("Disconnect"));
        clearChoice(optServer);
    }
    if (optClient->isChecked()) {
        setPanelText(1, QStringLiteral("Remote server disconnect..."));
        setPanelText(3, QStringLiteral("Disconnect"));
        clearChoice(optClient);
    }
}

void frmMain::Winsock_Reset(qint64 unsentBytes, bool atLeast)
{
    setPanelText(1, QStringLiteral("Closed the connection; %1%2 %3 not sent")
                            .arg(atLeast ? QStringLiteral("at least ") : QString(),
                                 groupedNumber(quint64(unsentBytes)),
                                 unsentBytes == 1 ? QStringLiteral("byte was")
                                                  : QStringLiteral("bytes were")));
}
