#pragma once

// A loopback UDP socket that only counts what it gets, for the benchmarks
// that send datagrams out of the window (POSIX only).

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>

namespace bench {

// Bound to an ephemeral loopback port, with a receive buffer of 8 MiB so that
// a burst is not lost before it is counted; -1 when that failed.
inline int loopbackSocket(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    const int buffer = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size) != 0)
        return -1;
    *port = ntohs(at.sin_port);
    return fd;
}

// Reads datagrams on `fd` until `stop`, counting them.
inline void countDatagrams(int fd, std::atomic<qint64> *count, const std::atomic<bool> *stop)
{
    char buffer[2048];
    pollfd wait { fd, POLLIN, 0 };
    while (!stop->load()) {
        if (::poll(&wait, 1, 20) > 0)
            while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0)
                ++*count;
    }
}

} // namespace bench
