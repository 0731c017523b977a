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
    QString joinFailure;
    {
        BusyScope busy(bApplyBusy);
        if (Winsock->Protocol() == ::Winsock::UDP) {
            // Each Apply starts afresh: a group is held only while given.
            Winsock->LeaveGroup();
            if (!isBlankField(txtLocalHostPortSet->text())) {
                Winsock->Close();
                Winsock->Bind(portTextValue(txtLocalHostPortSet->text()));
            }
            if (!isBlankField(txtRemoteHostPort->text()))
                Winsock->setRemotePort(portTextWhole(txtRemoteHostPort->text()));
            if (!isBlankField(txtRemoteHostIP->text())) {
                Winsock->setRemoteHost(txtRemoteHostIP->text());
                // The port stays bound however the join goes.
                try {
                    Winsock->JoinRemoteGroup(txtLocalHostIP->text());
                } catch (const WinsockError &failure) {
                    joinFailure = QString::fromUtf8(failure.what());
                }
            }
        }
    }
    RefreshLocalHostInfo();
    if (joinFailure.isEmpty())
        clearStaleLinkFailure();
    else
        showLinkFailure(joinFailure);
}

void frmMain::Winsock_GroupChanged()
{
    const QString group = Winsock->JoinedGroup();
    const QString on = Winsock->JoinedInterface();
    const QString membership = group.isEmpty() ? QString()
                               : on.isEmpty()  ? QStringLiteral("Joined %1").arg(group)
                                               : QStringLiteral("Joined %1 on %2").arg(group, on);
    txtRemoteHostIP->setToolTip(membership);
    txtRemoteHostIP->setAccessibleDescription(membership);
}
