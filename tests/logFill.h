#pragma once

#include "field/widget/TextField.h"

#include <QString>

// Fills the log to exactly `length` characters of short lines, a MiB at a time,
// so a test reaches the log's capacity without holding a copy of it.
inline bool fillLog(TextField *log, qsizetype length)
{
    QString line(1023, u'x');
    line += u'\n';
    const QString block = line.repeated(1024);
    while (log->length() + block.size() <= length) {
        if (!log->append(block))
            return false;
    }
    return log->append(QString(length - log->length(), u'y'));
}
