#include "text/arrivalLine.h"

#include <algorithm>

QString arrivalLine(QTime at, const QString &sender, quint16 port, qsizetype bytes,
                    std::optional<std::chrono::nanoseconds> sinceSend)
{
    const QString address = sender.contains(u':') ? QStringLiteral("[%1]").arg(sender) : sender;
    QString line = QStringLiteral("[%1  from %2:%3  %4 %5")
                           .arg(at.toString(QStringLiteral("HH:mm:ss.zzz")), address)
                           .arg(port)
                           .arg(bytes)
                           .arg(bytes == 1 ? QStringLiteral("byte") : QStringLiteral("bytes"));
    if (sinceSend) {
        const double ms = double(std::max<qint64>(sinceSend->count(), 0)) / 1e6;
        line += QStringLiteral("  +%1 ms after Send Data").arg(ms, 0, 'f', 1);
    }
    return line + QStringLiteral("]\r\n");
}
