#include "strips/rates.h"

#include <algorithm>
#include <cmath>

QString rateText(double bytesPerSecond)
{
    const double rate = std::max(bytesPerSecond, 0.0);
    if (rate < 1000)
        return QStringLiteral("%1 B/s").arg(qint64(std::lround(rate)));
    static const char *const units[] = { "kB/s", "MB/s", "GB/s" };
    double scaled = rate / 1000;
    int unit = 0;
    for (; unit < 2 && scaled >= 999.95; ++unit)
        scaled /= 1000;
    return QStringLiteral("%1 %2").arg(scaled, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString secondsText(qint64 ms)
{
    return QStringLiteral("%1 s").arg(double(std::max<qint64>(ms, 0)) / 1000, 0, 'f', 1);
}

QString timeLeftText(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return QStringLiteral("time left unknown");
    if (seconds < 120)
        return QStringLiteral("%1 s left").arg(qint64(std::ceil(seconds)));
    return QStringLiteral("%1 min left").arg(qint64(std::ceil(seconds / 60)));
}
