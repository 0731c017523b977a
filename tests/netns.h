#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#if defined(_WIN32)
// Windows has no network namespaces; multicast tests there would reach the
// host's real network, so they skip.
class NetNamespace
{
public:
    explicit NetNamespace(bool) { }
    QString skipReason = QStringLiteral("network namespaces are Linux's own");
};
#else
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

// A network namespace of the test's own, entered by the calling thread (the
// one that makes the sockets) for the object's life: only loopback, up, so
// multicast tests touch no real network. With `multicastRoutes`, groups of
// both families reach loopback: an IPv6 route via lo must be of type local,
// since the kernel turns any other one into a reject route. `skipReason`
// says why it could not be made (not root, no `ip`); then nothing changed.
class NetNamespace
{
public:
    explicit NetNamespace(bool multicastRoutes)
    {
        static int made = 0;
        m_name = QStringLiteral("tarvik-test-%1-%2")
                         .arg(QCoreApplication::applicationPid())
                         .arg(++made);
        if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty()) {
            skipReason = QStringLiteral("no `ip` command to make a network namespace");
            return;
        }
        if (!ip({ QStringLiteral("netns"), QStringLiteral("add"), m_name })) {
            skipReason = QStringLiteral("cannot make a network namespace (needs root): ") + m_error;
            return;
        }
        m_added = true;
        m_home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target
                = ::open(qPrintable(QStringLiteral("/run/netns/") + m_name), O_RDONLY | O_CLOEXEC);
        const bool entered = m_home >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            ::close(target);
        if (!entered) {
            skipReason = QStringLiteral("cannot enter the network namespace");
            return;
        }
        m_entered = true;
        QList<QStringList> steps { { "link", "set", "lo", "multicast", "on" },
                                   { "link", "set", "lo", "up" } };
        if (multicastRoutes)
            steps += { { "route", "add", "224.0.0.0/4", "dev", "lo" },
                       { "-6", "route", "add", "local", "ff00::/8", "dev", "lo", "table",
                         "local" } };
        for (const QStringList &step : steps) {
            if (!ip(QStringList { QStringLiteral("-n"), m_name } + step))
                skipReason = QStringLiteral("cannot set up the namespace: ") + m_error;
        }
    }
    ~NetNamespace()
    {
        if (m_entered)
            ::setns(m_home, CLONE_NEWNET);
        if (m_home >= 0)
            ::close(m_home);
        if (m_added)
            ip({ QStringLiteral("netns"), QStringLiteral("delete"), m_name });
    }
    NetNamespace(const NetNamespace &) = delete;
    NetNamespace &operator=(const NetNamespace &) = delete;

    QString skipReason;

private:
    bool ip(const QStringList &arguments)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("ip"), arguments);
        const bool done = process.waitForFinished(10000)
                          && process.exitStatus() == QProcess::NormalExit
                          && process.exitCode() == 0;
        m_error = QString::fromLocal8Bit(process.readAll()).trimmed();
        return done;
    }

    QString m_name;
    QString m_error;
    int m_home = -1;
    bool m_added = false;
    bool m_entered = false;
};
#endif
