#include "ui/frmMain.h"

#include "net/FileSend.h"
#include "strips/SendFileStrip.h"
#include "strips/TrafficStrip.h"
#include "text/groupedNumber.h"
#include "text/portText.h"

void frmMain::connectSendFile()
{
    connect(fileSend, &FileSend::progressed, sendFileStrip, [this] {
        sendFileStrip->showProgress(fileSend->sent(), fileSend->size());
        // Show Arrival Times counts from the file's latest bytes, as from a Send Data.
        lastSendAt = std::chrono::steady_clock::now();
    });
    connect(fileSend, &FileSend::finished, this, [this](const QString &failure) {
        guarded("Send File", [this, &failure] { sendFile_Finished(failure); });
    });
    // Counted where the bytes pass the endpoint, whatever the log does with
    // them; the strip need not be open.
    connect(Winsock, &::Winsock::TrafficEvent, trafficStrip, [this](const WinsockTraffic &passed) {
        if (passed.kind == WinsockTraffic::Datagram)
            trafficStrip->count(passed.inbound, passed.payload.size(), 1);
        else if (passed.kind == WinsockTraffic::StreamBytes)
            trafficStrip->count(passed.inbound, passed.payload.size(),
                                passed.inbound || passed.endsSend ? 1 : 0);
    });
}

QString frmMain::linkRefusal() const
{
    if (Winsock->Protocol() == ::Winsock::UDP) {
        if (isBlankField(Winsock->RemoteHost()))
            return QStringLiteral("No specified remote host!");
    } else if (Winsock->State() != ::Winsock::Connected) {
        return QStringLiteral("No avaiable connection...");
    }
    return {};
}

QString frmMain::startSendFile(const QString &path, qint64 pieceBytes, double everyMs)
{
    setPanelText(1, QString());
    if (const QString refused = linkRefusal(); !refused.isNull())
        return refuseSend(refused);
    try {
        fileSend->start(path, { pieceBytes, everyMs });
    } catch (const WinsockError &failure) {
        return refuseSend(
                QStringLiteral("Send File failed: %1").arg(QString::fromUtf8(failure.what())));
    }
    return {};
}

void frmMain::sendFile_Finished(const QString &failure)
{
    sendFileStrip->showEnd(fileSend->sent(), fileSend->size(), fileSend->elapsedMs(), failure);
    if (!failure.isNull())
        setPanelText(1, QStringLiteral("Send File failed: %1; %2 of %3 bytes were sent")
                                .arg(failure, groupedNumber(quint64(fileSend->sent())),
                                     groupedNumber(quint64(fileSend->size()))));
}
