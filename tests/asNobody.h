#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>

#if !defined(_WIN32)
#include <unistd.h>
#endif

// Ports below 1024 are protected only for unprivileged users; root tests of
// that protection run one test function again as the user nobody.

#if defined(_WIN32)
// Windows has no root, protects no port and has no user nobody to become.
inline bool runsAsRoot()
{
    return false;
}

inline bool mayBindBelow1024()
{
    return true;
}
#else
inline bool runsAsRoot()
{
    return geteuid() == 0;
}

// Whether this process may bind a port below 1024 (root, or a system that
// lowered the protected range).
inline bool mayBindBelow1024()
{
    if (runsAsRoot())
        return true;
    QFile start(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
    return start.open(QIODevice::ReadOnly) && start.readAll().trimmed().toInt() <= 1000;
}
#endif

// Skips the rest of a test that needs what only Linux has (/dev/full, mounts).
#define SKIP_UNLESS_LINUX(what) \
    do { \
        if (QSysInfo::kernelType() != QLatin1String("linux")) \
            QSKIP("needs " what ", which only Linux has"); \
    } while (false)

struct NobodyRun
{
    QString skipReason; // set when the run could not take place, or skipped
    bool passed = false;
    QByteArray output;
};

// Runs `testFunction` of this test program as nobody and waits for it.
inline NobodyRun rerunAsNobody(const QString &testFunction, int timeoutMs)
{
    NobodyRun run;
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty()) {
        run.skipReason = QStringLiteral("running as root and setpriv is missing");
        return run;
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(setpriv, { QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                           QStringLiteral("--clear-groups"),
                           QCoreApplication::applicationFilePath(), testFunction });
    const bool finished = child.waitForFinished(timeoutMs);
    run.output = child.readAll();
    if (run.output.contains("SKIP   :"))
        run.skipReason = QString::fromUtf8(run.output);
    run.passed = finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    return run;
}
