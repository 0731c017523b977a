#pragma once

#include <QString>
#include <QtGlobal>

// Rates and durations as the strips write them: decimal units, one decimal
// past the first thousand ("950 B/s", "12.3 MB/s"), seconds to a tenth
// ("1.3 s"), and a time left in whole seconds or minutes ("4 s", "12 min").
QString rateText(double bytesPerSecond);
QString secondsText(qint64 ms);
QString timeLeftText(double seconds);
