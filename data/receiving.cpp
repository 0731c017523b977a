#include "ui/frmMain.h"

#include "data/hexRecord.h"
#include "field/TextField.h"
#include "net/Winsock.h"

#include <QCheckBox>

static_assert(::Winsock::maxStreamArrivalBytes <= maxHexRecordBytes,
              "every TCP arrival must fit one hex record");

void frmMain::Winsock_DataArrival(int bytesTotal)
{
    // Any failure here drops this arrival's data and says so in panel 1.
    try {
        bool appended = false;
        // Hex records and plain ASCII go into the log a byte a character, as
        // it stores them, without a UTF-16 copy on the way.
        if (chkHexDISP->checkState() == Qt::Checked) {
            const QByteArray bytes = Winsock->GetDataBytes();
            const HexTransport transport
                    = Winsock->Protocol() == ::Winsock::UDP ? HexTransport::Udp : HexTransport::Tcp;
            if (bytesTotal < 0 || bytes.size() < bytesTotal)
                throw std::length_error("fewer bytes delivered than announced");
            buildHexRecordLatin1(transport, QByteArrayView(bytes).first(bytesTotal),
                                 hexRecordBuffer);
            appended = txtReceive->appendPiece(QLatin1StringView(hexRecordBuffer));
        } else if (const QByteArray ascii = Winsock->GetDataAscii(); !ascii.isEmpty()) {
            appended = txtReceive->appendPiece(QLatin1StringView(ascii));
        } else {
            appended = txtReceive->appendPiece(Winsock->GetDataText());
        }
        if (!appended)
            throw std::length_error("the receive log is full");
    } catch (const std::exception &) {
        setPanelText(1, QStringLiteral("Failed to get remote data..."));
    }
}

void frmMain::cmdClear_Click()
{
    txtReceive->clearLog();
}
