#include "ui/frmMain.h"

#include "text/groupedNumber.h"

#include <QStringList>

void frmMain::Winsock_DatagramsDropped(quint64 backlog, quint64 bySystem)
{
    QStringList told;
    if (backlog != 0)
        told << QStringLiteral("Dropped %1 datagrams: they came faster than the log shows them")
                        .arg(groupedNumber(backlog));
    if (bySystem != 0)
        told << QStringLiteral("The system dropped %1 datagrams before they could be read")
                        .arg(groupedNumber(bySystem));
    setPanelText(1, told.join(QStringLiteral(". ")));
}
