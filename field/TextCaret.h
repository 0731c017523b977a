#pragma once

#include "field/TextStore.h"

// Where the caret may stand in a TextStore. The one rule: a position lies in
// [0, length] and never inside a unit the user sees as one, that is between
// the CR and the LF of one break or between the halves of a surrogate pair.
// Every position the field takes from the user, a layout or a screen reader
// goes through snapped().

// Whether the position splits a CR LF or a surrogate pair.
bool splitsUnit(const TextStore &text, qsizetype position);
// The position clamped to the text and moved back off a unit it would split.
qsizetype snapped(const TextStore &text, qsizetype position);
