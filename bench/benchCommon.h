#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <cstdio>

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

inline double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Resident set size of this process, in bytes.
inline qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    return 0;
}

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
