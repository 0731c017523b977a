// Multicast membership of the UDP socket, and the words for a refused send.
// Qt's own joinMulticastGroup refuses an IPv4 group on a socket bound to Any
// (both families) and names no cause when the system refuses; the socket
// options are set here on Qt's descriptor instead, so one socket serves IPv4
// and IPv6 groups and a failure says why.

#include "net/Winsock.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <array>
#include <cerrno>
#include <cstring>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int familyOf(int descriptor)
{
    sockaddr_storage bound {};
    socklen_t size = sizeof bound;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr *>(&bound), &size) != 0)
        return AF_UNSPEC;
    return bound.ss_family;
}

bool setOption(int descriptor, int level, int name, const void *value, socklen_t size)
{
    return ::setsockopt(descriptor, level, name, value, size) == 0;
}

// An IPv4 membership request; Linux takes the interface by index in it.
ip_mreqn ipv4Request(const QHostAddress &group, unsigned interfaceIndex)
{
    ip_mreqn request {};
    request.imr_multiaddr.s_addr = htonl(group.toIPv4Address());
    request.imr_ifindex = int(interfaceIndex);
    return request;
}

ipv6_mreq ipv6Request(const QHostAddress &group, unsigned interfaceIndex)
{
    ipv6_mreq request {};
    const Q_IPV6ADDR bytes = group.toIPv6Address();
    std::memcpy(&request.ipv6mr_multiaddr, bytes.c, sizeof bytes.c);
    request.ipv6mr_interface = interfaceIndex;
    return request;
}

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
    switch (error) {
    case ENODEV:
    case ENETUNREACH:
    case EADDRNOTAVAIL:
        return interfaceName.isEmpty()
                       ? QStringLiteral("no multicast route leads to it")
                       : QStringLiteral("interface %1 cannot take it").arg(interfaceName);
    case ENOBUFS:
        return QStringLiteral("the system's limit of group memberships is reached");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
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
    const int descriptor = int(m_udp->socketDescriptor());
    const int on = 1;
    bool done = false;
    if (group.protocol() == QAbstractSocket::IPv4Protocol) {
        const ip_mreqn request = ipv4Request(group, joined.interfaceIndex);
        done = setOption(descriptor, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
        // Own sends leave where the membership is, so they come back to it.
        if (done && joined.interfaceIndex != 0)
            setOption(descriptor, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
        if (done)
            setOption(descriptor, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
    } else {
        // A socket of IPv4 alone (a system without IPv6) cannot hold one.
        if (familyOf(descriptor) != AF_INET6)
            throw refuse(QStringLiteral("the local port is bound for IPv4 only"));
        const ipv6_mreq request = ipv6Request(group, joined.interfaceIndex);
        done = setOption(descriptor, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request);
        if (done && joined.interfaceIndex != 0)
            setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_IF, &joined.interfaceIndex,
                      sizeof joined.interfaceIndex);
        if (done)
            setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &on, sizeof on);
    }
    if (!done)
        throw refuse(joinRefusal(errno, joined.interfaceName));
    m_group = joined;
    Q_EMIT GroupChangedEvent();
}

void Winsock::LeaveGroup()
{
    if (!m_group)
        return;
    const Membership left = *std::exchange(m_group, std::nullopt);
    // Closing the socket leaves too; one that is still open leaves now.
    if (m_udp) {
        const int descriptor = int(m_udp->socketDescriptor());
        if (left.group.protocol() == QAbstractSocket::IPv4Protocol) {
            const ip_mreqn request = ipv4Request(left.group, left.interfaceIndex);
            setOption(descriptor, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request);
        } else {
            const ipv6_mreq request = ipv6Request(left.group, left.interfaceIndex);
            setOption(descriptor, IPPROTO_IPV6, IPV6_LEAVE_GROUP, &request, sizeof request);
        }
    }
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
    // Ask the system for a route the way a send does: a UDP connect looks it up.
    sockaddr_storage target {};
    socklen_t size = 0;
    bool isV4 = false;
    const quint32 v4 = to.toIPv4Address(&isV4);
    if (isV4) {
        auto *address = reinterpret_cast<sockaddr_in *>(&target);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(v4);
        address->sin_port = htons(9);
        size = sizeof *address;
    } else {
        auto *address = reinterpret_cast<sockaddr_in6 *>(&target);
        address->sin6_family = AF_INET6;
        const Q_IPV6ADDR bytes = to.toIPv6Address();
        std::memcpy(&address->sin6_addr, bytes.c, sizeof bytes.c);
        address->sin6_port = htons(9);
        if (!to.scopeId().isEmpty())
            address->sin6_scope_id
                    = unsigned(QNetworkInterface::interfaceIndexFromName(to.scopeId()));
        size = sizeof *address;
    }
    const int probe = ::socket(target.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return qtReason;
    const bool routed = ::connect(probe, reinterpret_cast<sockaddr *>(&target), size) == 0;
    const int error = errno;
    ::close(probe);
    if (routed)
        return qtReason;
    if (error == ENETUNREACH || error == EHOSTUNREACH)
        return QStringLiteral("no route to %1").arg(plainAddress(to));
    return QStringLiteral("%1: %2").arg(plainAddress(to),
                                        QString::fromLocal8Bit(std::strerror(error)));
}
