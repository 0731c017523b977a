#include "ui/frmMain.h"

#include <QLocale>

void frmMain::Winsock_DatagramsDropped(::Winsock::DropCause cause, quint64 count)
{
    // Thousands separated the same way whatever the user's locale.
    const QString number = QLocale(QLocale::English, QLocale::UnitedStates).toString(count);
    switch (cause) {
    case ::Winsock::DropCause::Backlog:
        setPanelText(
                1, QStringLiteral("Dropped %1 datagrams: they came faster than the log shows them")
                           .arg(number));
        return;
    case ::Winsock::DropCause::SystemBuffer:
        setPanelText(1, QStringLiteral("The system dropped %1 datagrams before they could be read")
                                .arg(number));
        return;
    }
}
