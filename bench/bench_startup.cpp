// Start-up of the real program under a private X server: from starting the
// process to its window being mapped on the screen, and the CPU time it then
// uses over 10 s of doing nothing.
//
//   bench_startup [--smoke] [--runs N] path/to/tarvik

#include "benchCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <X11/Xlib.h>

#include <cstdio>

namespace {

// CPU seconds the process's threads have run so far, from the scheduler's
// nanosecond count: /proc's stat counts in clock ticks of 10 ms, which is all
// an idle second's budget here, so one tick more or less decided the figure.
double cpuSeconds(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return -1;
    double seconds = 0;
    for (const QString &thread : threads) {
        QFile schedstat(tasks.filePath(thread + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            seconds += schedstat.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return seconds;
}

// Waits for the first top-level window to be mapped; milliseconds since
// `timer` started, or -1 after `limitMs`.
double waitForMap(Display *display, const QElapsedTimer &timer, int limitMs)
{
    const int fd = ConnectionNumber(display);
    while (timer.elapsed() < limitMs) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify)
                return timer.nsecsElapsed() / 1e6;
        }
        fd_set read;
        FD_ZERO(&read);
        FD_SET(fd, &read);
        timeval step { 0, 2000 };
        select(fd + 1, &read, nullptr, nullptr, &step);
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int runs = smoke ? 1 : bench::intOption(argc, argv, "--runs", 5);
    const int idleSeconds = smoke ? 1 : 10;
    const QString program = QCoreApplication::arguments().constLast();
    if (argc < 2 || !QFile::exists(program)) {
        std::printf("usage: bench_startup [--smoke] [--runs N] path/to/tarvik\n");
        return 2;
    }

    // A private X server; it tells its display number on standard output.
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                 QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                 QStringLiteral("tcp") });
    if (!xvfb.waitForStarted(5000) || !xvfb.waitForReadyRead(10000)) {
        std::printf("Xvfb did not start\n");
        return 1;
    }
    const QByteArray name = ":" + xvfb.readAllStandardOutput().trimmed();
    Display *display = XOpenDisplay(name.constData());
    if (!display) {
        std::printf("cannot open display %s\n", name.constData());
        return 1;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XFlush(display);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(name));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));

    QList<double> starts;
    QList<double> idle;
    int failures = 0;
    for (int run = 0; run < runs; ++run) {
        QProcess tarvik;
        tarvik.setProcessEnvironment(environment);
        tarvik.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer timer;
        timer.start();
        tarvik.start(program, {});
        const double shownMs = tarvik.waitForStarted(5000) ? waitForMap(display, timer, 10000) : -1;
        if (shownMs < 0) {
            ++failures;
        } else {
            starts.append(shownMs);
            // Let it settle, then watch it do nothing.
            QThread::msleep(500);
            const double before = cpuSeconds(tarvik.processId());
            QThread::sleep(idleSeconds);
            const double after = cpuSeconds(tarvik.processId());
            idle.append(100.0 * (after - before) / idleSeconds);
            std::printf("run %d: window shown after %.1f ms, idle CPU %.3f%%\n", run, shownMs,
                        idle.last());
        }
        tarvik.terminate();
        if (!tarvik.waitForFinished(5000)) {
            tarvik.kill();
            tarvik.waitForFinished(5000);
        }
        // Drain the unmap and destroy events of this run.
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
        }
    }
    XCloseDisplay(display);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    if (starts.isEmpty()) {
        std::printf("the window never showed\n");
        return 1;
    }
    bench::result("startup_ms", bench::median(starts), "ms");
    bench::result("idle_cpu_pct", bench::median(idle), "%");
    return failures == 0 ? 0 : 1;
}
