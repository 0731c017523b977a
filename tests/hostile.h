#pragma once

#include <QByteArray>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <filesystem>
#include <utility>

// The raw sockets are POSIX ones, and tst_hostile, their one user, skips on
// Windows; the rest serves tst_badInput everywhere.
#if !defined(_WIN32)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// Helpers for the hostile-peer and bad-input suites: resource counters, a
// responsiveness probe, raw loopback sockets and the machine-readable result
// lines scripts/reliability.sh collects.

// scripts/reliability.sh sets TARVIK_HOSTILE_FULL=1 for the full sizes; ctest
// runs the small ones.
inline bool fullSizes()
{
    return qEnvironmentVariableIntValue("TARVIK_HOSTILE_FULL") != 0;
}

// "RESULT <case>|<measure>": one line per case for docs/reliability.md.
inline void reportResult(const QString &name, const QString &measure)
{
    qInfo().noquote() << QStringLiteral("RESULT %1|%2").arg(name, measure);
}

inline int openFds()
{
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

inline qint64 rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLongLong();
    }
    return -1;
}

// The longest time the event loop left a 5 ms timer waiting: how long the
// window would have ignored a click.
class ResponsivenessProbe
{
public:
    // A stall this long is a freeze on any machine, however loaded or
    // sanitized. Shorter stalls are reported, and judged by the benchmarks.
    static constexpr qint64 frozenMs = 10000;

    ResponsivenessProbe()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer,
                         [this] { m_longest = std::max(m_longest, m_clock.restart()); });
        m_clock.start();
        m_timer.start();
    }
    qint64 longestGapMs() const { return std::max(m_longest, m_clock.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};

#if !defined(_WIN32)
// A raw socket, closed when it goes out of scope.
class RawSocket
{
public:
    explicit RawSocket(int fd = -1)
        : m_fd(fd)
    { }
    ~RawSocket() { reset(); }
    RawSocket(RawSocket &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    { }
    RawSocket &operator=(RawSocket &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;

    int fd() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // Closes with a reset instead of an orderly FIN.
    void resetAbruptly()
    {
        const linger abortive { 1, 0 };
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        reset();
    }

    bool sendAll(const QByteArray &bytes) const
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done),
                                     MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

    // What a non-blocking look at the socket finds.
    enum class Look { Quiet, Data, Ended };
    Look look() const
    {
        pollfd p { m_fd, POLLIN, 0 };
        if (::poll(&p, 1, 0) <= 0)
            return Look::Quiet;
        char byte = 0;
        const ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return n > 0 ? Look::Data : Look::Ended;
    }

private:
    int m_fd = -1;
};

inline sockaddr_in loopback(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A TCP connect to 127.0.0.1:port; with `wait` false it returns at once and
// the outcome shows later on the socket.
inline RawSocket connectTcp(quint16 port, bool wait = true)
{
    RawSocket socket(::socket(AF_INET, SOCK_STREAM | (wait ? 0 : SOCK_NONBLOCK), 0));
    if (!socket.isValid())
        return socket;
    const sockaddr_in address = loopback(port);
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        && (wait || errno != EINPROGRESS))
        socket.reset();
    return socket;
}
#endif
