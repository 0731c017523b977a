#pragma once

#include "field/model/TextStore.h"

#include <utility>

class TextLayout;

// Where the caret may stand in a TextStore, and where the keys that move it
// take it.
//
// The one rule: a position lies in [0, length] and never inside what the user
// sees as one character, that is between the CR and the LF of one break or
// between the halves of a surrogate pair. The field puts every position it
// takes from the user, a layout or a screen reader through snapped(); a layout
// cuts its text only where splitsUnit() says it may.

enum class CaretMotion {
    NextChar,
    PreviousChar,
    NextWord,
    PreviousWord,
    NextLine,
    PreviousLine,
    NextPage,
    PreviousPage,
    StartOfLine,
    EndOfLine,
    StartOfText,
    EndOfText,
};

// Whether the position splits a CR LF or a surrogate pair.
bool splitsUnit(const TextStore &text, qsizetype position);
// The position clamped to the text and moved back off a unit it would split.
qsizetype snapped(const TextStore &text, qsizetype position);

// Where a motion takes the caret from `caret`. Up, down and the page keys go
// to `x` (from the text's left edge) on the line they reach; a page is
// `pageLines` lines. Character steps follow the layout's grapheme clusters
// and step over a break whole; word steps read at most maxWordScan units.
qsizetype caretTarget(TextLayout &layout, const TextStore &text, CaretMotion motion,
                      qsizetype caret, qreal x, qsizetype pageLines);

// The word around a position, as double clicks and screen readers take it;
// a word may run on across cuts, up to maxWordScan units each way.
std::pair<qsizetype, qsizetype> wordAround(const TextStore &text, qsizetype position);
// The line around a position, from break to break, cuts ignored.
std::pair<qsizetype, qsizetype> lineAround(const TextStore &text, qsizetype position);

// Word moves and word selection read at most this far, so that one word of a
// thousand million letters costs milliseconds, not seconds.
constexpr qsizetype maxWordScan = qsizetype(4) << 20;
