#pragma once

#include <QString>
#include <QTime>

#include <chrono>
#include <optional>

// The line Show Arrival Times puts before an arrival, in a fixed order, CR LF
// at its end:
//   [10:04:41.123  from 127.0.0.1:5353  45 bytes  +2.4 ms after Send Data]
// The time is local, to the millisecond; the sender is its address in plain
// form, in brackets when it is IPv6; the
// delay since Send Data is there only when given, to a tenth of a millisecond.
QString arrivalLine(QTime at, const QString &sender, quint16 port, qsizetype bytes,
                    std::optional<std::chrono::nanoseconds> sinceSend);
