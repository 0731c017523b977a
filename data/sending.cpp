#include "ui/frmMain.h"

#include "link/portText.h"
#include "net/Winsock.h"

#include <QPlainTextEdit>
#include <QTextDocument>

namespace {

// The send box's text exactly as typed. toPlainText() would turn non-breaking
// spaces into plain ones; the raw text only needs its paragraph marks mapped.
QString typedText(const QPlainTextEdit *box)
{
    QString text = box->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
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
        const int state = Winsock->State();
        if (state != ::Winsock::Connected || Winsock->Protocol() != ::Winsock::TCP) {
            setPanelText(1, QStringLiteral("No avaiable connection..."));
            return;
        }
    }
    Winsock->SendData(typedText(txtSend));
}
