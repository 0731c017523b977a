#pragma once

#include "benchCommon.h"
#include "stallWatch.h"

#include "field/widget/TextField.h"
#include "net/Winsock.h"
#include "tests/windowControls.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

// The real window, in this process, driven through its controls as a user
// would, with the measuring tools the window benchmarks share.
namespace bench {

// A port nobody holds right now (UDP or TCP), to keep clear of the window's
// fixed ones and of other programs.
inline quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

// Longest gap between the ticks of a 5 ms timer: how long the event loop was
// kept from turning. Gaps while `paused` (the benchmark's own Clear) are left
// out. With TARVIK_STALL_WATCH=ms set, every gap longer than that is also told
// apart as the program's own work, the host's or sleep (StallWatch).
class StallMeter
{
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(tickMs);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            if (m_watch)
                m_watch->beat();
            endGap();
        });
    }
    void start()
    {
        m_longestMs = 0;
        m_longestOwnMs = 0;
        m_skipNext = false;
        if (const int limitMs = qEnvironmentVariableIntValue("TARVIK_STALL_WATCH"))
            m_watch = std::make_unique<StallWatch>(limitMs);
        m_waitedMs = runQueueMs();
        m_last.start();
        m_timer.start();
    }
    // The gap still open counts too: a loop that kept the timer from ticking
    // at all (on Windows a stream's socket messages can) stalled for all of it.
    void stop()
    {
        if (m_timer.isActive())
            endGap();
        m_timer.stop();
        m_watch.reset();
    }
    // The gap that holds the next call is not the window's doing.
    void skipCurrentGap() { m_skipNext = true; }
    // Longest gap beyond the timer's own interval.
    double longestStallMs() const { return std::max(0.0, m_longestMs - tickMs); }
    // The same without the time the thread was ready to run but the host gave
    // it no CPU (the kernel's run-queue delay): the program's own share.
    double longestOwnStallMs() const { return std::max(0.0, m_longestOwnMs - tickMs); }

private:
    static constexpr int tickMs = 5;
    void endGap()
    {
        const double gap = m_last.nsecsElapsed() / 1e6;
        const double waited = runQueueMs();
        if (!m_skipNext) {
            m_longestMs = std::max(m_longestMs, gap);
            m_longestOwnMs = std::max(m_longestOwnMs, gap - (waited - m_waitedMs));
        }
        m_skipNext = false;
        m_waitedMs = waited;
        m_last.start();
    }
    // Time this thread has spent runnable but not running, from schedstat.
    static double runQueueMs()
    {
        double waited = 0;
        if (FILE *file = std::fopen("/proc/thread-self/schedstat", "r")) {
            long long run = 0;
            long long wait = 0;
            if (std::fscanf(file, "%lld %lld", &run, &wait) == 2)
                waited = double(wait) / 1e6;
            std::fclose(file);
        }
        return waited;
    }

    QTimer m_timer;
    QElapsedTimer m_last;
    double m_longestMs = 0;
    double m_longestOwnMs = 0;
    double m_waitedMs = 0;
    bool m_skipNext = false;
    std::unique_ptr<StallWatch> m_watch;
};

// Counts what reached the log, clearing it (with the window's Clear button)
// before it fills, so a long run is not cut short by the log's capacity.
// Streams and floods are sized to stay below clearAt, so normally it never
// clears; it is there so that a run too long for the log is still counted.
class LogCounter
{
public:
    explicit LogCounter(frmMain *window, StallMeter *stall)
        : m_log(control<TextField>(*window, "txtReceive"))
        , m_clear(control<QPushButton>(*window, "cmdClear"))
        , m_stall(stall)
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { clearIfNearlyFull(); });
    }
    void start()
    {
        m_clear->click();
        m_cleared = 0;
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    qint64 chars() const { return m_cleared + m_log->length(); }

    static constexpr qsizetype clearAt = TextStore::Limits {}.capacity / 4 * 3;

private:
    void clearIfNearlyFull()
    {
        if (m_log->length() < clearAt)
            return;
        m_cleared += m_log->length();
        m_clear->click();
        if (m_stall)
            m_stall->skipCurrentGap();
    }

    const TextField *m_log;
    QPushButton *m_clear;
    StallMeter *m_stall;
    QTimer m_timer;
    qint64 m_cleared = 0;
};

// Lets the event loop run until a cleared log has handed all its memory back,
// so the next run does not pay for the last one's slices.
inline void spinUntilReleased(const TextField *log)
{
    spinUntil([&] { return !log->store().hasMemoryToRelease(); }, 20000);
}

// Lets the event loop run until the log has stopped growing for `quietMs`.
inline void spinUntilQuiet(const LogCounter &counter, int quietMs, int timeoutMs)
{
    qint64 last = -1;
    QElapsedTimer quiet;
    quiet.start();
    spinUntil(
            [&] {
                if (counter.chars() != last) {
                    last = counter.chars();
                    quiet.start();
                }
                return quiet.elapsed() >= quietMs;
            },
            timeoutMs);
}

} // namespace bench
