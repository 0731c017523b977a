#include "ui/frmMain.h"

#include "net/FileSend.h"
#include "strips/RepeatStrip.h"
#include "strips/ReplyStrip.h"
#include "ui/StatusBar.h"

#include <exception>

void frmMain::connectStrips()
{
    // A failure told after the send returned stops the repetition too.
    connect(Winsock, &::Winsock::SendFailedEvent, sendRepeat, [this](const QString &reason) {
        sendRepeat->stopWith(QStringLiteral("Send Data failed: %1").arg(reason));
    });
    connect(Winsock, &::Winsock::BytesArrivedEvent, this,
            [this](const QByteArray &bytes, const ::Winsock::Origin &from) {
                guarded("Replying", [&] { Winsock_BytesArrived(bytes, from); });
            });
}

QString frmMain::repeatSendData()
{
    QString refused;
    // What the endpoint raises, the guard shows in panel 1 as it does for the
    // button: that is what stopped the repetition.
    if (!guarded("Send Data", [this, &refused] { refused = sendData(); }))
        return StatusBar->panelText(1);
    return refused;
}

void frmMain::Winsock_BytesArrived(const QByteArray &bytes, const ::Winsock::Origin &from)
{
    const qsizetype replies = autoReply->repliesFor(bytes, from.stream);
    // A stream's last bytes, come with its close, have no one to answer.
    if (replies == 0 || from.peerClosed)
        return;
    if (from.fromSelf) {
        autoReply->skippedOwn();
        return;
    }
    // A reply on the connection would go between the file's bytes.
    if (from.stream != 0 && fileSend->isRunning()) {
        const QString reason = QStringLiteral("a file is being sent");
        autoReply->turnOffWith(reason);
        setPanelText(1, QStringLiteral("Reply failed: %1").arg(reason));
        return;
    }
    qsizetype sent = 0;
    try {
        for (; sent < replies; ++sent) {
            if (from.stream == 0)
                Winsock->SendBytesTo(from, autoReply->reply());
            else
                Winsock->SendBytes(autoReply->reply());
        }
        autoReply->replied(sent);
    } catch (const std::exception &failure) {
        // A refused reply ends replying: the next would be refused the same way.
        const QString reason = QString::fromUtf8(failure.what());
        autoReply->replied(sent);
        autoReply->turnOffWith(reason);
        setPanelText(1, QStringLiteral("Reply failed: %1").arg(reason));
    }
}
