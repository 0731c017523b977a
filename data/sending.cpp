#include "ui/frmMain.h"

#include "field/widget/TextField.h"
#include "net/Winsock.h"
#include "text/hexText.h"
#include "text/portText.h"

#include <QAction>

#include <vector>

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
    // The box read as its store keeps it, with no copy: a box of tens of MB
    // is read in one pass.
    const StoredText::Pieces pieces = txtSend->model().stored().pieces();
    const HexBytes hex = bytesFromHex(std::vector<QAnyStringView>(pieces.begin(), pieces.end()));
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
    txtSend->setCornerMark(on ? QStringLiteral("HEX") : QString());
    txtSend->setAccessibleDescription(on ? QStringLiteral("Send as hex") : QString());
}
