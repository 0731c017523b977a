// Group membership, route lookup, plain receives and their wake-up on a POSIX
// system.

#include "net/systemSockets.h"

#include <QNetworkInterface>

#include <cerrno>
#include <cstdint>
#include <cstring>

#ifdef __linux__
#include <linux/sockios.h>
#endif
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
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

qint64 unsentBytes(qintptr descriptor)
{
#ifdef SIOCOUTQNSD
    int queued = 0;
    return ::ioctl(int(descriptor), SIOCOUTQNSD, &queued) == 0 ? queued : -1;
#else
    Q_UNUSED(descriptor);
    return -1;
#endif
}

qint64 unreadBytes(qintptr descriptor)
{
    int waiting = 0;
    return ::ioctl(int(descriptor), FIONREAD, &waiting) == 0 ? waiting : 0;
}

void resetOnClose(qintptr descriptor)
{
    const linger now { 1, 0 };
    setOption(descriptor, SOL_SOCKET, SO_LINGER, &now, sizeof now);
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

qintptr openWake()
{
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return wake < 0 ? noWake : wake;
}

void signalWake(qintptr wake)
{
    if (wake == noWake)
        return;
    const uint64_t one = 1;
    // Fails only when the count is full, which wakes as well.
    [[maybe_unused]] const ssize_t written = ::write(int(wake), &one, sizeof one);
}

void closeWake(qintptr wake)
{
    if (wake != noWake)
        ::close(int(wake));
}

bool waitReadable(qintptr descriptor, qintptr wake)
{
    pollfd watched[2] { { int(descriptor), POLLIN, 0 }, { int(wake), POLLIN, 0 } };
    const bool hasWake = wake != noWake;
    const int timeout = hasWake ? -1 : int(noWakeTimeout.count());
    if (::poll(watched, hasWake ? 2 : 1, timeout) <= 0)
        return false;
    return watched[0].revents != 0;
}

void countSystemDrops(qintptr descriptor)
{
    const int on = 1;
    setOption(descriptor, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
}

// The system writes `buffer` through the iovec, which the check cannot see.
// NOLINTNEXTLINE(readability-non-const-parameter)
qint64 receiveDatagram(qintptr descriptor, char *buffer, qint64 capacity, DatagramEnds *ends,
                       int *error)
{
    sockaddr_storage from {};
    iovec piece { buffer, size_t(capacity) };
    // Room for the destination of either family, which the socket was asked for when
    // it was made, and the count of drops.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))
                                  + CMSG_SPACE(sizeof(uint32_t))];
    msghdr message {};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = ::recvmsg(int(descriptor), &message, MSG_DONTWAIT);
    if (size < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        *error = errno;
        return -2;
    }
    ends->sender = QHostAddress(reinterpret_cast<const sockaddr *>(&from));
    ends->senderPort = from.ss_family == AF_INET6
                               ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&from)->sin6_port)
                               : ntohs(reinterpret_cast<const sockaddr_in *>(&from)->sin_port);
    ends->destination.clear();
    ends->systemDrops.reset();
    for (cmsghdr *part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SO_RXQ_OVFL) {
            uint32_t drops;
            std::memcpy(&drops, CMSG_DATA(part), sizeof drops);
            ends->systemDrops = drops;
        } else if (part->cmsg_level == IPPROTO_IP && part->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(part), sizeof info);
            ends->destination.setAddress(ntohl(info.ipi_addr.s_addr));
        } else if (part->cmsg_level == IPPROTO_IPV6 && part->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(part), sizeof info);
            ends->destination.setAddress(info.ipi6_addr.s6_addr);
        }
    }
    return qint64(size);
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
