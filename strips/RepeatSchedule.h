#pragma once

#include <QtGlobal>

// The absolute schedule of a repetition: tick k is due k intervals after the
// start, tick 0 at once, so late ticks never push the later ones back.
struct RepeatStep
{
    qint64 tick = 0;    // the tick to send now: the latest one due
    qint64 skipped = 0; // ticks before it, from `next` on, that are not sent
};

// At `elapsed` since the start, `next` being the first tick not sent yet and
// due by then: a repetition that fell behind sends the latest tick due and
// skips the ones it missed, rather than sending them in a burst.
constexpr RepeatStep stepAt(qint64 elapsed, qint64 interval, qint64 next)
{
    const qint64 latest = elapsed / interval;
    return latest > next ? RepeatStep { latest, latest - next } : RepeatStep { next, 0 };
}

// How long after `elapsed` tick `next` is due; 0 when it is.
constexpr qint64 waitFor(qint64 elapsed, qint64 interval, qint64 next)
{
    const qint64 due = next * interval;
    return due > elapsed ? due - elapsed : 0;
}
