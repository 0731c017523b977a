// Group membership and route lookup on a POSIX system.

#include "net/systemSockets.h"

#include <QNetworkInterface>

#include <cerrno>
#include <cstring>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int setOption(qintptr descriptor, int level, int name, const void *value, socklen_t size)
{
    return ::setsockopt(int(descriptor), level, name, value, size) == 0 ? 0 : errno;
}

// Linux takes the interface by index in ip_mreqn.
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

bool isIPv4(const QHostAddress &address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol;
}

} // namespace

namespace systemSockets {

bool isBoundForIPv6(qintptr descriptor)
{
    sockaddr_storage bound {};
    socklen_t size = sizeof bound;
    return ::getsockname(int(descriptor), reinterpret_cast<sockaddr *>(&bound), &size) == 0
           && bound.ss_family == AF_INET6;
}

int joinGroup(qintptr descriptor, const QHostAddress &group, unsigned interfaceIndex)
{
    const int on = 1;
    if (isIPv4(group)) {
        const ip_mreqn request = ipv4Request(group, interfaceIndex);
        if (const int error
            = setOption(descriptor, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request))
            return error;
        if (interfaceIndex != 0)
            setOption(descriptor, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request);
        setOption(descriptor, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
        return 0;
    }
    const ipv6_mreq request = ipv6Request(group, interfaceIndex);
    if (const int error
        = setOption(descriptor, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request))
        return error;
    if (interfaceIndex != 0)
        setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_IF, &interfaceIndex,
                  sizeof interfaceIndex);
    setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &on, sizeof on);
    return 0;
}

void leaveGroup(qintptr descriptor, const QHostAddress &group, unsigned interfaceIndex)
{
    if (isIPv4(group)) {
        const ip_mreqn request = ipv4Request(group, interfaceIndex);
        setOption(descriptor, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request);
    } else {
        const ipv6_mreq request = ipv6Request(group, interfaceIndex);
        setOption(descriptor, IPPROTO_IPV6, IPV6_LEAVE_GROUP, &request, sizeof request);
    }
}

int routeTo(const QHostAddress &to)
{
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
        return 0; // nothing to ask with: let the send's own words stand
    const int error
            = ::connect(probe, reinterpret_cast<sockaddr *>(&target), size) == 0 ? 0 : errno;
    ::close(probe);
    return error;
}

bool isNoRoute(int error)
{
    return error == ENETUNREACH || error == EHOSTUNREACH;
}

bool isNoInterface(int error)
{
    return error == ENODEV || error == ENETUNREACH || error == EADDRNOTAVAIL;
}

bool isOutOfMemberships(int error)
{
    return error == ENOBUFS;
}

QString describe(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace systemSockets
