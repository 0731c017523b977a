#include "ui/frmMain.h"

#include "data/ReceiveLog.h"
#include "data/arrivalLine.h"
#include "data/hexRecord.h"
#include "net/Winsock.h"

#include <QCheckBox>
#include <QDateTime>

static_assert(::Winsock::maxStreamArrivalBytes <= maxHexRecordBytes,
              "every TCP arrival must fit one hex record");

QString frmMain::arrivalFailedText()
{
    return QStringLiteral("Failed to get remote data...");
}

bool frmMain::stampArrival(int bytesTotal)
{
    if (!receiveLog->showsArrivalTimes())
        return true;
    const auto wall
            = std::chrono::time_point_cast<std::chrono::milliseconds>(Winsock->ArrivalWallTime());
    const QTime at = QDateTime::fromMSecsSinceEpoch(wall.time_since_epoch().count()).time();
    std::optional<std::chrono::nanoseconds> sinceSend;
    if (lastSendAt)
        sinceSend = Winsock->ArrivalTime() - *lastSendAt;
    return receiveLog->appendLine(arrivalLine(at, Winsock->ArrivalSender(),
                                              Winsock->ArrivalSenderPort(), bytesTotal, sinceSend));
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
        appended = stampArrival(bytesTotal)
                   && receiveLog->appendArrival(QLatin1StringView(hexRecordBuffer));
    } else {
        // Taken before the line goes in, so that a full log still takes it.
        QByteArray ascii;
        QString text;
        if (!receiveLog->isUtf8())
            text = receiveLog->decode(Winsock->GetDataBytes(),
                                      Winsock->Protocol() == ::Winsock::UDP);
        else if (ascii = Winsock->GetDataAscii(); ascii.isEmpty())
            text = Winsock->GetDataText();
        appended = stampArrival(bytesTotal)
                   && (ascii.isEmpty() ? receiveLog->appendArrival(QStringView(text))
                                       : receiveLog->appendArrival(QLatin1StringView(ascii)));
    }
    // The log is full.
    if (!appended)
        setPanelText(1, arrivalFailedText());
}

void frmMain::cmdClear_Click()
{
    receiveLog->clear();
}
