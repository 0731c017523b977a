#include "ui/frmMain.h"

#include "net/Winsock.h"
#include "text/portText.h"
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
