#include "ui/frmMain.h"

#include "data/ReceiveLog.h"
#include "data/hexRecord.h"
#include "net/Winsock.h"

#include <QCheckBox>

static_assert(::Winsock::maxStreamArrivalBytes <= maxHexRecordBytes,
              "every TCP arrival must fit one hex record");

QString frmMain::arrivalFailedText()
{
    return QStringLiteral("Failed to get remote data...");
}

void frmMain::Winsock_DataArrival(int bytesTotal)
{
    // An arrival that cannot be shown is dropped and panel 1 says so; what the
    // calls below raise is caught by the guard with this same text.
    bool appended = false;
    // Hex records and plain ASCII go into the log a byte a character, as
    // it stores them, without a UTF-16 copy on the way.
    if (chkHexDISP->checkState() == Qt::Checked) {
        const QByteArray bytes = Winsock->GetDataBytes();
        const HexTransport transport
                = Winsock->Protocol() == ::Winsock::UDP ? HexTransport::Udp : HexTransport::Tcp;
        if (bytesTotal < 0 || bytes.size() < bytesTotal) {
            setPanelText(1, arrivalFailedText());
            return;
        }
        if (!buildHexRecordLatin1(transport, QByteArrayView(bytes).first(bytesTotal),
                                  hexRecordBuffer)) {
            setPanelText(1, arrivalFailedText());
            return;
        }
        appended = receiveLog->appendArrival(QLatin1StringView(hexRecordBuffer));
    } else if (!receiveLog->isUtf8()) {
        appended = receiveLog->appendArrival(
                receiveLog->decode(Winsock->GetDataBytes(), Winsock->Protocol() == ::Winsock::UDP));
    } else if (const QByteArray ascii = Winsock->GetDataAscii(); !ascii.isEmpty()) {
        appended = receiveLog->appendArrival(QLatin1StringView(ascii));
    } else {
        appended = receiveLog->appendArrival(Winsock->GetDataText());
    }
    // The log is full.
    if (!appended)
        setPanelText(1, arrivalFailedText());
}

void frmMain::cmdClear_Click()
{
    receiveLog->clear();
}
