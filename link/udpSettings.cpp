#include "ui/frmMain.h"

#include "net/Winsock.h"
#include "text/portText.h"

#include <QLineEdit>

namespace {

// Clears the busy flag however Apply ends, or the information fields would
// never be refreshed again.
class BusyScope
{
public:
    explicit BusyScope(bool &flag)
        : m_flag(flag)
    {
        m_flag = true;
    }
    ~BusyScope() { m_flag = false; }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    bool &m_flag;
};

} // namespace

void frmMain::cmdApply_Click()
{
    if (bApplyBusy)
        return;
    {
        BusyScope busy(bApplyBusy);
        if (Winsock->Protocol() == ::Winsock::UDP) {
            if (!isBlankField(txtLocalHostPortSet->text())) {
                Winsock->Close();
                Winsock->Bind(portTextValue(txtLocalHostPortSet->text()));
            }
            if (!isBlankField(txtRemoteHostPort->text()))
                Winsock->setRemotePort(portTextWhole(txtRemoteHostPort->text()));
            if (!isBlankField(txtRemoteHostIP->text()))
                Winsock->setRemoteHost(txtRemoteHostIP->text());
        }
    }
    RefreshLocalHostInfo();
}
