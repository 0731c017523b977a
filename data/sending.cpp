#include "ui/fieldLooks.h"
#include "ui/frmMain.h"

#include "field/widget/TextField.h"
#include "net/Winsock.h"
#include "text/hexText.h"
#include "text/portText.h"

#include <QAction>

#include <vector>

namespace {

// The send box's text as its store keeps it, chunk by chunk, with no copy: a
// box of tens of MB is read in one pass.
std::vector<QAnyStringView> storedPieces(const TextStore &text)
{
    std::vector<QAnyStringView> pieces;
    for (qsizetype at = 0; at < text.length();) {
        const TextStore::Stored stored = text.storedFrom(at);
        if (!stored.latin1.isEmpty())
            pieces.emplace_back(stored.latin1);
        else
            pieces.emplace_back(stored.utf16);
        at += stored.latin1.size() + stored.utf16.size();
    }
    return pieces;
}

} // namespace

void frmMain::cmdSendData_Click()
{
    setPanelText(1, QString());
    if (Winsock->Protocol() == ::Winsock::UDP) {
        if (isBlankField(Winsock->RemoteHost())) {
            setPanelText(1, QStringLiteral("No specified remote host!"));
            return;
        }
    } else {
        if (Winsock->State() != ::Winsock::Connected) {
            setPanelText(1, QStringLiteral("No avaiable connection..."));
            return;
        }
    }
    if (!mnuSendAsHex->isChecked()) {
        Winsock->SendData(txtSend->text());
        return;
    }
    const HexBytes hex = bytesFromHex(storedPieces(txtSend->model()));
    if (hex.fault) {
        // Nothing goes out; the caret shows the user where to look.
        txtSend->setSelection(hex.fault->position, hex.fault->position);
        txtSend->setFocus(Qt::OtherFocusReason);
        setPanelText(1, QStringLiteral("Send Data failed: %1").arg(hex.fault->text()));
        return;
    }
    Winsock->SendBytes(hex.bytes);
}

void frmMain::mnuSendAsHex_Click(bool on)
{
    // The text stays as it is either way; only its reading changes.
    setCornerMark(txtSend, on ? QStringLiteral("HEX") : QString());
    txtSend->setAccessibleDescription(on ? QStringLiteral("Send as hex") : QString());
}
