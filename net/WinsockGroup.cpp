// Multicast membership of the UDP socket, and the words for a refused send.
// Qt's own joinMulticastGroup refuses an IPv4 group on a socket bound to Any
// (both families) and names no cause when the system refuses; the socket
// options are set here on Qt's descriptor instead, so one socket serves IPv4
// and IPv6 groups and a failure says why.

#include "net/Winsock.h"
#include "net/systemSockets.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <utility>

namespace {

QNetworkInterface interfaceFor(const QHostAddress &group, const QString &localAddress)
{
    if (!group.scopeId().isEmpty())
        return QNetworkInterface::interfaceFromName(group.scopeId());
    const QHostAddress local(localAddress.trimmed());
    if (local.isNull())
        return {};
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &candidate : interfaces) {
        const auto entries = candidate.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().isEqual(local))
                return candidate;
        }
    }
    return {};
}

QString joinRefusal(int error, const QString &interfaceName)
{
    if (systemSockets::isNoInterface(error))
        return interfaceName.isEmpty()
                       ? QStringLiteral("no multicast route leads to it")
                       : QStringLiteral("interface %1 cannot take it").arg(interfaceName);
    if (systemSockets::isOutOfMemberships(error))
        return QStringLiteral("the system's limit of group memberships is reached");
    return systemSockets::describe(error);
}

} // namespace

bool Winsock::isGroupAddress(const QHostAddress &address)
{
    return address.isMulticast();
}

void Winsock::JoinRemoteGroup(const QString &localAddress)
{
    LeaveGroup();
    QHostAddress group;
    if (m_protocol != UDP || !group.setAddress(m_remoteHost.trimmed()) || !isGroupAddress(group))
        return;
    const QString name = plainAddress(group);
    const auto refuse = [&name](const QString &why) {
        return WinsockError(QStringLiteral("Joining %1 failed: %2").arg(name, why).toStdString());
    };
    if (!m_udp)
        throw refuse(QStringLiteral("no local port is bound"));

    const QNetworkInterface chosen = interfaceFor(group, localAddress);
    const Membership joined { group, chosen.isValid() ? unsigned(chosen.index()) : 0U,
                              chosen.isValid() ? chosen.name() : QString() };
    const qintptr descriptor = m_udp->socketDescriptor();
    // A socket of IPv4 alone (a system without IPv6) cannot hold an IPv6 group.
    if (group.protocol() != QAbstractSocket::IPv4Protocol
        && !systemSockets::isBoundForIPv6(descriptor))
        throw refuse(QStringLiteral("the local port is bound for IPv4 only"));
    if (const int error = systemSockets::joinGroup(descriptor, group, joined.interfaceIndex))
        throw refuse(joinRefusal(error, joined.interfaceName));
    m_group = joined;
    Q_EMIT GroupChangedEvent();
}

void Winsock::LeaveGroup()
{
    if (!m_group)
        return;
    const Membership left = *std::exchange(m_group, std::nullopt);
    // Closing the socket leaves too; one that is still open leaves now.
    if (m_udp)
        systemSockets::leaveGroup(m_udp->socketDescriptor(), left.group, left.interfaceIndex);
    Q_EMIT GroupChangedEvent();
}

QString Winsock::JoinedGroup() const
{
    return m_group ? plainAddress(m_group->group) : QString();
}

QString Winsock::JoinedInterface() const
{
    return m_group ? m_group->interfaceName : QString();
}

QString Winsock::sendRefusal(const QHostAddress &to) const
{
    const QString qtReason = m_udp ? m_udp->errorString() : QString();
    if (m_udp && m_udp->error() != QAbstractSocket::NetworkError)
        return qtReason;
    const int error = systemSockets::routeTo(to);
    if (error == 0)
        return qtReason;
    if (systemSockets::isNoRoute(error))
        return QStringLiteral("no route to %1").arg(plainAddress(to));
    return QStringLiteral("%1: %2").arg(plainAddress(to), systemSockets::describe(error));
}
