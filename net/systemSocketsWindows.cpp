// Group membership, route lookup, plain receives and their wake-up on
// Windows. Winsock takes an IPv4 interface by its address, and its options as
// DWORDs.

// Winsock 2 before anything that could pull in the first Winsock's numbering.
#include <winsock2.h>
#include <ws2tcpip.h>
// Its message receive, which needs Winsock 2's types.
#include <mswsock.h>

#include "net/systemSockets.h"

#include <QNetworkInterface>

#include <cstring>

namespace {

int setOption(qintptr descriptor, int level, int name, const void *value, int size)
{
    return ::setsockopt(SOCKET(descriptor), level, name, static_cast<const char *>(value), size)
                           == 0
                   ? 0
                   : ::WSAGetLastError();
}

// The interface as IPv4 options take it: its first IPv4 address, which every
// implementation of Winsock knows; only an interface without one is written
// as 0.0.0.index, a form Wine refuses.
in_addr ipv4Interface(unsigned interfaceIndex)
{
    in_addr chosen {};
    if (interfaceIndex == 0)
        return chosen;
    chosen.s_addr = htonl(interfaceIndex);
    const auto entries
            = QNetworkInterface::interfaceFromIndex(int(interfaceIndex)).addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
            chosen.s_addr = htonl(entry.ip().toIPv4Address());
            break;
        }
    }
    return chosen;
}

ip_mreq ipv4Request(const QHostAddress &group, unsigned interfaceIndex)
{
    ip_mreq request {};
    request.imr_multiaddr.s_addr = htonl(group.toIPv4Address());
    request.imr_interface = ipv4Interface(interfaceIndex);
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

// Winsock hands its message receive, the one that tells a datagram's
// destination, only as a pointer asked of a socket; it is the same for every
// socket of the one provider there is.
LPFN_WSARECVMSG messageReceive(SOCKET socket)
{
    static const LPFN_WSARECVMSG receive = [socket] {
        LPFN_WSARECVMSG found = nullptr;
        GUID id = WSAID_WSARECVMSG;
        DWORD size = 0;
        if (::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &found,
                       sizeof found, &size, nullptr, nullptr)
            != 0)
            return LPFN_WSARECVMSG(nullptr);
        return found;
    }();
    return receive;
}

} // namespace

namespace systemSockets {

bool isBoundForIPv6(qintptr descriptor)
{
    sockaddr_storage bound {};
    int size = sizeof bound;
    return ::getsockname(SOCKET(descriptor), reinterpret_cast<sockaddr *>(&bound), &size) == 0
           && bound.ss_family == AF_INET6;
}

int joinGroup(qintptr descriptor, const QHostAddress &group, unsigned interfaceIndex)
{
    const DWORD on = 1;
    if (isIPv4(group)) {
        const ip_mreq request = ipv4Request(group, interfaceIndex);
        if (const int error
            = setOption(descriptor, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request))
            return error;
        if (interfaceIndex != 0) {
            const in_addr viaInterface = ipv4Interface(interfaceIndex);
            setOption(descriptor, IPPROTO_IP, IP_MULTICAST_IF, &viaInterface, sizeof viaInterface);
        }
        setOption(descriptor, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
        return 0;
    }
    const ipv6_mreq request = ipv6Request(group, interfaceIndex);
    if (const int error
        = setOption(descriptor, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &request, sizeof request))
        return error;
    if (interfaceIndex != 0) {
        const DWORD viaInterface = interfaceIndex;
        setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_IF, &viaInterface, sizeof viaInterface);
    }
    setOption(descriptor, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &on, sizeof on);
    return 0;
}

void leaveGroup(qintptr descriptor, const QHostAddress &group, unsigned interfaceIndex)
{
    if (isIPv4(group)) {
        const ip_mreq request = ipv4Request(group, interfaceIndex);
        setOption(descriptor, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request);
    } else {
        const ipv6_mreq request = ipv6Request(group, interfaceIndex);
        setOption(descriptor, IPPROTO_IPV6, IPV6_DROP_MEMBERSHIP, &request, sizeof request);
    }
}

qint64 unsentBytes(qintptr)
{
    // Winsock has no count of a connection's send queue.
    return -1;
}

qint64 unreadBytes(qintptr descriptor)
{
    u_long waiting = 0;
    return ::ioctlsocket(SOCKET(descriptor), FIONREAD, &waiting) == 0 ? qint64(waiting) : 0;
}

void resetOnClose(qintptr descriptor)
{
    const linger now { 1, 0 };
    setOption(descriptor, SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

int routeTo(const QHostAddress &to)
{
    sockaddr_storage target {};
    int size = 0;
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
            address->sin6_scope_id = ULONG(QNetworkInterface::interfaceIndexFromName(to.scopeId()));
        size = sizeof *address;
    }
    // Qt has started Winsock for its own sockets; this keeps it started while
    // the probe lives, whoever asks.
    WSADATA started {};
    if (::WSAStartup(MAKEWORD(2, 2), &started) != 0)
        return 0;
    int error = 0;
    const SOCKET probe = ::socket(target.ss_family, SOCK_DGRAM, IPPROTO_UDP);
    if (probe != INVALID_SOCKET) {
        if (::connect(probe, reinterpret_cast<sockaddr *>(&target), size) != 0)
            error = ::WSAGetLastError();
        ::closesocket(probe);
    }
    ::WSACleanup();
    return error;
}

qintptr openWake()
{
    // Winsock stays started while the wake lives, whoever else stops it.
    WSADATA started {};
    if (::WSAStartup(MAKEWORD(2, 2), &started) != 0)
        return noWake;
    // A datagram socket connected to itself: a send to it makes it readable.
    const SOCKET wake = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                     WSA_FLAG_NO_HANDLE_INHERIT);
    sockaddr_in self {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof self;
    if (wake == INVALID_SOCKET || ::bind(wake, reinterpret_cast<sockaddr *>(&self), size) != 0
        || ::getsockname(wake, reinterpret_cast<sockaddr *>(&self), &size) != 0
        || ::connect(wake, reinterpret_cast<sockaddr *>(&self), size) != 0) {
        if (wake != INVALID_SOCKET)
            ::closesocket(wake);
        ::WSACleanup();
        return noWake;
    }
    return qintptr(wake);
}

void signalWake(qintptr wake)
{
    if (wake != noWake)
        ::send(SOCKET(wake), "", 0, 0);
}

void closeWake(qintptr wake)
{
    if (wake == noWake)
        return;
    ::closesocket(SOCKET(wake));
    ::WSACleanup();
}

bool waitReadable(qintptr descriptor, qintptr wake)
{
    WSAPOLLFD watched[2] { { SOCKET(descriptor), POLLRDNORM, 0 }, { SOCKET(wake), POLLRDNORM, 0 } };
    const bool hasWake = wake != noWake;
    const INT timeout = hasWake ? -1 : INT(noWakeTimeout.count());
    if (::WSAPoll(watched, hasWake ? 2 : 1, timeout) <= 0)
        return false;
    return watched[0].revents != 0;
}

void countSystemDrops(qintptr) { }

qint64 receiveDatagram(qintptr descriptor, char *buffer, qint64 capacity, DatagramEnds *ends,
                       int *error)
{
    const auto socket = SOCKET(descriptor);
    sockaddr_storage from {};
    WSABUF piece { ULONG(capacity), buffer };
    alignas(WSACMSGHDR) char
            control[WSA_CMSG_SPACE(sizeof(IN6_PKTINFO)) + WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
    WSAMSG message {};
    message.name = reinterpret_cast<sockaddr *>(&from);
    message.namelen = sizeof from;
    message.lpBuffers = &piece;
    message.dwBufferCount = 1;
    message.Control = { sizeof control, control };
    DWORD size = 0;
    int result = SOCKET_ERROR;
    if (const LPFN_WSARECVMSG receive = messageReceive(socket)) {
        result = receive(socket, &message, &size, nullptr, nullptr);
    } else {
        int fromSize = sizeof from;
        message.Control.len = 0;
        result = ::recvfrom(socket, buffer, int(capacity), 0, message.name, &fromSize);
        size = result == SOCKET_ERROR ? 0 : DWORD(result);
    }
    if (result == SOCKET_ERROR) {
        const int code = ::WSAGetLastError();
        if (code == WSAEWOULDBLOCK)
            return -1;
        *error = code;
        return -2;
    }
    ends->sender = QHostAddress(message.name);
    ends->senderPort = from.ss_family == AF_INET6
                               ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&from)->sin6_port)
                               : ntohs(reinterpret_cast<const sockaddr_in *>(&from)->sin_port);
    ends->destination.clear();
    for (WSACMSGHDR *part = WSA_CMSG_FIRSTHDR(&message); part;
         part = WSA_CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level == IPPROTO_IP && part->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(part), sizeof info);
            ends->destination.setAddress(ntohl(info.ipi_addr.s_addr));
        } else if (part->cmsg_level == IPPROTO_IPV6 && part->cmsg_type == IPV6_PKTINFO) {
            IN6_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(part), sizeof info);
            ends->destination.setAddress(info.ipi6_addr.s6_addr);
        }
    }
    return qint64(size);
}

bool isNoRoute(int error)
{
    return error == WSAENETUNREACH || error == WSAEHOSTUNREACH;
}

bool isNoInterface(int error)
{
    return error == WSAENETUNREACH || error == WSAEADDRNOTAVAIL;
}

bool isOutOfMemberships(int error)
{
    return error == WSAENOBUFS;
}

QString describe(int error)
{
    return qt_error_string(error);
}

} // namespace systemSockets
