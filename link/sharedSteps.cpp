#include "ui/frmMain.h"

#include "net/Winsock.h"
#include "text/portText.h"
#include "ui/StatusBar.h"
#include "ui/fieldLooks.h"

#include <QLineEdit>

void frmMain::setRemoteFieldsLocked(bool locked, RemoteText text)
{
    for (QLineEdit *remote : { txtRemoteHostIP, txtRemoteHostPort }) {
        setBackColor(remote, locked ? lockedLook : editableLook);
        setLocked(remote, locked);
        if (text == RemoteText::Clear)
            remote->setText(QString());
    }
}

void frmMain::useLocalPortOrDefault()
{
    // A blank or zero field means the usual port, and the field says so.
    if (isBlankField(txtLocalHostPortSet->text())
        || portTextValue(txtLocalHostPortSet->text()) == 0)
        txtLocalHostPortSet->setText(QStringLiteral("1000"));
    Winsock->setLocalPort(portTextWhole(txtLocalHostPortSet->text()));
}

void frmMain::guardedLink(const char *operation, const std::function<void()> &handler)
{
    // A reply after this is no longer the reply to the last send.
    lastSendAt.reset();
    if (!guarded(operation, handler))
        linkFailureText = StatusBar->panelText(1);
}

void frmMain::showLinkFailure(const QString &text)
{
    setPanelText(1, text);
    linkFailureText = text;
}

void frmMain::clearStaleLinkFailure()
{
    // Only the failure itself goes: a later message has replaced it already.
    if (!linkFailureText.isEmpty() && StatusBar->panelText(1) == linkFailureText)
        setPanelText(1, QString());
    linkFailureText.clear();
}
