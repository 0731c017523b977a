#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QList>
#include <QObject>
#include <QStringList>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#endif

// Shared by the benchmark programs: argument handling, medians, memory and the
// one machine-readable line per figure that bench.sh gathers into the table.
namespace bench {

inline bool hasFlag(int argc, char **argv, const char *flag)
{
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], flag) == 0)
            return true;
    return false;
}

// The value after `--name`, or `fallback`.
inline int intOption(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], name) == 0)
            return QByteArray(argv[i + 1]).toInt();
    return fallback;
}

inline QString stringOption(int argc, char **argv, const char *name, const QString &fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], name) == 0)
            return QString::fromLocal8Bit(argv[i + 1]);
    return fallback;
}

inline double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

#ifdef Q_OS_WIN
// The working set as Windows counts it: the process's resident memory.
inline qint64 residentBytes()
{
    PROCESS_MEMORY_COUNTERS counters {};
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
                   ? qint64(counters.WorkingSetSize)
                   : 0;
}

inline qint64 peakResidentBytes()
{
    PROCESS_MEMORY_COUNTERS counters {};
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
                   ? qint64(counters.PeakWorkingSetSize)
                   : 0;
}
#else
// A size line of /proc/self/status ("VmRSS:", "VmHWM:"), in bytes.
inline qint64 statusBytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong() * 1024;
    return 0;
}

// Resident set size of this process, in bytes.
inline qint64 residentBytes()
{
    return statusBytes("VmRSS:");
}

// Peak resident set size of this process so far, in bytes.
inline qint64 peakResidentBytes()
{
    return statusBytes("VmHWM:");
}
#endif

// Runs the event loop until `done` holds or `timeoutMs` passes.
template<typename Done>
bool spinUntil(Done done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Counts the paints of a viewport it filters: an action is answered when the
// picture that shows it has been painted.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// "RESULT|key|value|unit" for bench.sh; the rest of the output is for people.
inline void result(const char *key, double value, const char *unit)
{
    std::printf("RESULT|%s|%.10g|%s\n", key, value, unit);
    std::fflush(stdout);
}

inline double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace bench
