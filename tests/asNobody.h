#pragma once

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

// Ports below 1024 are protected only for unprivileged users; root tests of
// that protection run one test function again as the user nobody.

// Whether this process may bind a port below 1024 (root, or a system that
// lowered the protected range).
inline bool mayBindBelow1024()
{
    if (geteuid() == 0)
        return true;
    QFile start(QStringLiteral("/proc/sys/net/ipv4/ip_unprivileged_port_start"));
    return start.open(QIODevice::ReadOnly) && start.readAll().trimmed().toInt() <= 1000;
}

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
