#include "field/TextCaret.h"

#include <algorithm>

bool splitsUnit(const TextStore &text, qsizetype position)
{
    if (position <= 0)
        return false;
    const QChar after = text.at(position);
    const QChar before = text.at(position - 1);
    return (after == u'\n' && before == u'\r') || (after.isLowSurrogate() && before.isHighSurrogate());
}

qsizetype snapped(const TextStore &text, qsizetype position)
{
    position = std::clamp<qsizetype>(position, 0, text.length());
    return splitsUnit(text, position) ? position - 1 : position;
}
