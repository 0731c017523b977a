#pragma once

#include <QAnyStringView>
#include <QString>
#include <QStringView>

#include <array>
#include <atomic>
#include <functional>
#include <vector>

#include "field/model/StoredText.h"

class TextSnapshot;
class TextStore;

// Finding a text in a field's text, read straight from the pieces its store
// keeps (Latin-1 or UTF-16 chunks): no copy of the text, and no folded copy of
// it either; each unit is folded as it is compared.
//
// A match is a run of units equal to the pattern's, after simple case folding
// (QChar::toCaseFolded) when case is ignored; a surrogate pair folds as the one
// character it is. A match may straddle the seams between pieces, a CR LF
// included, but never starts or ends between the two halves of a pair, where
// the field never puts the caret.
//
// The scan is linear in the text whatever the pattern (a fallback table over
// the folded pattern, so a pasted megabyte of a repetitive log costs no more
// than a word), and where no part of a match can start it compares sixteen
// bytes at a time: the pattern's first unit and one further unit, each with
// its case variants.

// The text a search reads, as its store keeps it (StoredText). A store's is
// valid until its next edit, for the thread that edits the store; a
// snapshot's as long as the snapshot, for any thread.
using SearchedText = StoredText;
SearchedText searchedText(const TextStore &store);
SearchedText searchedText(const TextSnapshot &snapshot);
// A snapshot that goes at the end of the statement would leave nothing to read.
SearchedText searchedText(const TextSnapshot &&snapshot) = delete;

// A text to find, folded once, with what the scan needs to skip ahead.
// Invariants: m_folded is the text folded (or as it is, when case counts);
// m_fallback[i] is the length of the longest proper prefix of
// m_folded[0, i] that is also its suffix; m_probeAt is 0 for a one-unit
// pattern, else in [1, length) at a unit that is not a surrogate.
class TextPattern
{
public:
    TextPattern() = default;
    TextPattern(QStringView text, Qt::CaseSensitivity caseSensitivity);

    qsizetype length() const { return qsizetype(m_folded.size()); }
    bool isEmpty() const { return m_folded.empty(); }
    Qt::CaseSensitivity caseSensitivity() const { return m_caseSensitivity; }

    // The units a text may hold at a place where it is equal to `unit` of the
    // pattern: the unit itself and its case variants, at most four.
    struct Variants
    {
        std::array<char16_t, 4> units {};
        int count = 0;
        bool contains(char16_t unit) const;
    };

private:
    friend class MatchScan;

    std::vector<char16_t> m_folded;
    std::vector<qsizetype> m_fallback;
    Qt::CaseSensitivity m_caseSensitivity = Qt::CaseSensitive;
    Variants m_first;
    Variants m_probe; // of the unit at m_probeAt
    qsizetype m_probeAt = 0;
    // A match of such a pattern must be checked at its edge for a split pair.
    bool m_startsWithLowSurrogate = false;
    bool m_endsWithHighSurrogate = false;
};

// Calls `found` with the start of each match that starts in [first, last), in
// order, until it returns false. Returns false when `cancel` was set: it is
// read between pieces, so a search stops within one piece of being told.
bool forEachMatch(const SearchedText &text, const TextPattern &pattern, qsizetype first,
                  qsizetype last, const std::function<bool(qsizetype start)> &found,
                  const std::atomic<bool> *cancel = nullptr);

// Whether a match starts at `start`.
bool matchesAt(const SearchedText &text, const TextPattern &pattern, qsizetype start);

enum class SearchDirection { Forward, Backward };

struct SearchOutcome
{
    qsizetype start = -1; // -1 when nothing matched
    bool wrapped = false; // found only past the end (or, going back, the start)
    bool cancelled = false;
    bool found() const { return start >= 0; }
};

// The match nearest after `from` (forward: the first that starts at or after
// it) or before it (backward: the last that starts before it); when there is
// none that side, the search goes on from the other end of the text up to
// `from`, and says it wrapped.
SearchOutcome findNearest(const SearchedText &text, const TextPattern &pattern, qsizetype from,
                          SearchDirection direction, const std::atomic<bool> *cancel = nullptr);
