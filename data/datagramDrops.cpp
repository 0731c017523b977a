#include "ui/frmMain.h"

#include <QLocale>
#include <QStringList>

void frmMain::Winsock_DatagramsDropped(quint64 backlog, quint64 bySystem)
{
    // Thousands separated the same way whatever the user's locale.
    const QLocale numbers(QLocale::English, QLocale::UnitedStates);
    QStringList told;
    if (backlog != 0)
        told << QStringLiteral("Dropped %1 datagrams: they came faster than the log shows them")
                        .arg(numbers.toString(backlog));
    if (bySystem != 0)
        told << QStringLiteral("The system dropped %1 datagrams before they could be read")
                        .arg(numbers.toString(bySystem));
    setPanelText(1, told.join(QStringLiteral(". ")));
}
