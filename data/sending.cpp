#include "ui/fieldLooks.h"
#include "ui/frmMain.h"

#include "field/widget/TextField.h"
#include "log/ReceiveLog.h"
#include "net/FileSend.h"
#include "net/Winsock.h"
#include "text/hexText.h"
#include "text/lineColumn.h"
#include "text/portText.h"
#include "text/textEncoding.h"

#include <QAction>
#include <QStringList>

#include <algorithm>
#include <span>

#include <vector>

void frmMain::cmdSendData_Click()
{
    sendData();
}

QString frmMain::refuseSend(const QString &text)
{
    setPanelText(1, text);
    return text;
}

QString frmMain::sendData()
{
    setPanelText(1, QString());
    if (const QString refused = linkRefusal(); !refused.isNull())
        return refuseSend(refused);
    // Nothing goes between a file's bytes; the file's own strip stops it.
    if (fileSend->isRunning())
        return refuseSend(QStringLiteral("Send Data refused: a file is being sent"));
    if (!mnuSendAsHex->isChecked())
        return sendText();
    // The box read as its store keeps it, with no copy: a box of tens of MB
    // is read in one pass.
    const StoredText::Pieces pieces = txtSend->store().stored().pieces();
    const HexBytes hex = bytesFromHex(std::vector<QAnyStringView>(pieces.begin(), pieces.end()));
    if (hex.fault) {
        // Nothing goes out; the caret shows the user where to look.
        txtSend->setSelection(hex.fault->position, hex.fault->position);
        txtSend->setFocus(Qt::OtherFocusReason);
        return refuseSend(QStringLiteral("Send Data failed: %1").arg(hex.fault->text()));
    }
    Winsock->SendBytes(hex.bytes);
    lastSendAt = std::chrono::steady_clock::now();
    return {};
}

QString frmMain::sendText()
{
    const QString typed = txtSend->text();
    const QString text = withLineEnds(typed, sendLineEnd);
    if (receiveLog->isUtf8()) {
        Winsock->SendData(text);
        lastSendAt = std::chrono::steady_clock::now();
        return {};
    }
    EncodedText encoded = encodeText(text, receiveLog->encoding());
    if (encoded.faultAt >= 0) {
        // Found again in the box as typed, where the caret can show it; line
        // breaks are in every encoding offered, so the first fault is the same.
        encoded = encodeText(typed, receiveLog->encoding());
        const qsizetype at = std::max<qsizetype>(encoded.faultAt, 0);
        const QAnyStringView box(typed);
        const LineColumn where = lineColumnOf(std::span(&box, 1), at);
        const char32_t character = QStringView(typed).mid(at).toUcs4().value(0);
        txtSend->setSelection(at, at);
        txtSend->setFocus(Qt::OtherFocusReason);
        return refuseSend(
                QStringLiteral("Send Data failed: %1 (U+%2) cannot be written in %3 at "
                               "line %4, column %5")
                        .arg(QString::fromUcs4(&character, 1))
                        .arg(QString::number(uint(character), 16).toUpper().rightJustified(4, u'0'))
                        .arg(receiveLog->encodingLabel())
                        .arg(where.line)
                        .arg(where.column));
    }
    Winsock->SendBytes(encoded.bytes);
    lastSendAt = std::chrono::steady_clock::now();
    return {};
}

void frmMain::mnuSendAsHex_Click(bool)
{
    // The text stays as it is either way; only its reading changes.
    showSendModes();
}

void frmMain::mnuLineEnds_Click(LineEnd end)
{
    sendLineEnd = end;
    showSendModes();
}

void frmMain::showSendModes()
{
    QStringList marks;
    QStringList said;
    if (mnuSendAsHex->isChecked()) {
        marks << QStringLiteral("HEX");
        said << QStringLiteral("Send as hex");
    }
    if (sendLineEnd != LineEnd::Lf) {
        const QString end
                = sendLineEnd == LineEnd::CrLf ? QStringLiteral("CR LF") : QStringLiteral("CR");
        marks << end;
        said << QStringLiteral("line ends %1").arg(end);
    }
    setCornerMarks(txtSend, marks);
    txtSend->setAccessibleDescription(said.join(QStringLiteral(", ")));
}
