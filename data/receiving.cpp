#include "ui/frmMain.h"

#include "log/ReceiveLog.h"
#include "net/Winsock.h"
#include "text/StreamDecoder.h"
#include "text/arrivalLine.h"
#include "text/hexRecord.h"

#include <QCheckBox>
#include <QDateTime>

static_assert(::Winsock::maxStreamArrivalBytes <= maxHexRecordBytes,
              "every TCP arrival must fit one hex record");

QString frmMain::arrivalFailedText()
{
    return QStringLiteral("Failed to get remote data...");
}

QString frmMain::arrivalTimeLine(int bytesTotal)
{
    if (!receiveLog->showsArrivalTimes())
        return {};
    const auto wall
            = std::chrono::time_point_cast<std::chrono::milliseconds>(Winsock->ArrivalWallTime());
    const QTime at = QDateTime::fromMSecsSinceEpoch(wall.time_since_epoch().count()).time();
    std::optional<std::chrono::nanoseconds> sinceSend;
    if (lastSendAt)
        sinceSend = Winsock->ArrivalTime() - *lastSendAt;
    return arrivalLine(at, Winsock->ArrivalSender().toString(), Winsock->ArrivalSenderPort(),
                       bytesTotal, sinceSend);
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
        appended = receiveLog->appendArrival(QLatin1StringView(hexRecordBuffer),
                                             arrivalTimeLine(bytesTotal));
    } else {
        // Taken before the log is asked, so that a full log still takes it.
        const QByteArray bytes = Winsock->GetDataBytes();
        StreamDecoder &decoder = receiveLog->decoder();
        if (decoder.passesAsLatin1(bytes)) {
            appended = receiveLog->appendArrival(QLatin1StringView(bytes),
                                                 arrivalTimeLine(bytesTotal));
        } else {
            const ::Winsock::Origin from = Winsock->ArrivalOrigin();
            const QString text = decoder.decode(bytes, from.stream, from.peerClosed);
            appended = receiveLog->appendArrival(QStringView(text), arrivalTimeLine(bytesTotal));
        }
    }
    // The log is full.
    if (!appended)
        setPanelText(1, arrivalFailedText());
}

void frmMain::showCharacterCutByClose()
{
    // The peer's close came after its last bytes: a character they began
    // never ends. Hex records show no characters, so nothing is held for them.
    StreamDecoder &decoder = receiveLog->decoder();
    if (!decoder.holdsBytes() || chkHexDISP->checkState() == Qt::Checked)
        return;
    const QString cut = decoder.decode({}, Winsock->ArrivalOrigin().stream, true);
    if (!receiveLog->appendArrival(QStringView(cut)))
        setPanelText(1, arrivalFailedText());
}

void frmMain::cmdClear_Click()
{
    receiveLog->clear();
}
