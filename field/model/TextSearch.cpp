#include "field/model/TextSearch.h"

#include "field/model/TextSnapshot.h"
#include "field/model/TextStore.h"

#include <QChar>
#include <QLatin1StringView>

#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Simple case folding of every UTF-16 unit, surrogates as they are, built once
// and looked up per unit as the scan compares. Folding keeps a character in
// its plane and a supplementary one behind the same high surrogate (Unicode's
// case pairs lie in small blocks; tst_textSearch checks Qt's tables for it),
// so a high surrogate folds to itself and only a low one needs the unit before.
const char16_t *foldTable()
{
    static const std::vector<char16_t> table = [] {
        std::vector<char16_t> folded(0x10000);
        for (char32_t unit = 0; unit < 0x10000; ++unit)
            folded[unit] = QChar::isSurrogate(unit) ? char16_t(unit)
                                                    : char16_t(QChar::toCaseFolded(unit));
        return folded;
    }();
    return table.data();
}

// One unit folded, `previous` being the unit before it; `table` is null when
// case counts.
inline char16_t folded(const char16_t *table, char16_t unit, char16_t previous)
{
    if (!table)
        return unit;
    if (QChar::isLowSurrogate(unit) && QChar::isHighSurrogate(previous))
        return QChar::lowSurrogate(QChar::toCaseFolded(QChar::surrogateToUcs4(previous, unit)));
    return table[unit];
}

// The units that fold to `target`, or `target` alone when case counts.
TextPattern::Variants variantsOf(const char16_t *table, char16_t target)
{
    TextPattern::Variants variants;
    if (!table || QChar::isSurrogate(target)) {
        variants.units[0] = target;
        variants.count = 1;
        return variants;
    }
    for (char32_t unit = 0; unit < 0x10000; ++unit) {
        if (table[unit] != target || QChar::isSurrogate(unit))
            continue;
        if (variants.count == int(variants.units.size())) {
            variants.count = -1; // more than it holds: any unit may be there
            return variants;
        }
        variants.units[variants.count++] = char16_t(unit);
    }
    return variants;
}

#if defined(__SSE2__)
// The variants of one unit of the pattern, each in every lane, for pieces of
// `Unit`s: sixteen bytes are compared with all of them at once.
template<typename Unit>
struct Lanes
{
    explicit Lanes(const TextPattern::Variants &variants)
    {
        int count = 0;
        for (int i = 0; i < variants.count; ++i) {
            if (variants.units[i] <= std::numeric_limits<Unit>::max())
                value[count++] = sizeof(Unit) == 1 ? _mm_set1_epi8(char(variants.units[i]))
                                                   : _mm_set1_epi16(short(variants.units[i]));
        }
        none = count == 0;
        // The spare lanes repeat a variant, so that equal() needs no count;
        // with none, nothing asks equal() and the lanes stay zero.
        for (int i = count; i < 4 && !none; ++i)
            value[i] = value[0];
    }
    __m128i equal(__m128i block) const
    {
        const auto eq = [](__m128i a, __m128i b) {
            return sizeof(Unit) == 1 ? _mm_cmpeq_epi8(a, b) : _mm_cmpeq_epi16(a, b);
        };
        // A Latin-1 unit has two variants in Latin-1 at most.
        const __m128i two = _mm_or_si128(eq(block, value[0]), eq(block, value[1]));
        if constexpr (sizeof(Unit) == 1)
            return two;
        return _mm_or_si128(two, _mm_or_si128(eq(block, value[2]), eq(block, value[3])));
    }
    __m128i value[4] {};
    bool none = false;
};
#endif

} // namespace

bool TextPattern::Variants::contains(char16_t unit) const
{
    if (count < 0)
        return true;
    for (int i = 0; i < count; ++i) {
        if (units[i] == unit)
            return true;
    }
    return false;
}

TextPattern::TextPattern(QStringView text, Qt::CaseSensitivity caseSensitivity)
    : m_caseSensitivity(caseSensitivity)
{
    const qsizetype length = text.size();
    if (length == 0)
        return;
    const char16_t *table = caseSensitivity == Qt::CaseInsensitive ? foldTable() : nullptr;
    m_folded.resize(length);
    char16_t previous = 0;
    for (qsizetype i = 0; i < length; ++i) {
        m_folded[i] = folded(table, text[i].unicode(), previous);
        previous = text[i].unicode();
    }
    m_fallback.assign(length, 0);
    for (qsizetype i = 1, k = 0; i < length; ++i) {
        while (k > 0 && m_folded[i] != m_folded[k])
            k = m_fallback[k - 1];
        if (m_folded[i] == m_folded[k])
            ++k;
        m_fallback[i] = k;
    }
    // A surrogate keeps itself under folding (see foldTable), so it is its own variant.
    m_first = variantsOf(table, m_folded[0]);
    // The probe: a unit near the start, so it lies in the same piece as the
    // first unit of most candidates, and late enough to rule most of them out.
    for (qsizetype i = std::min<qsizetype>(length - 1, 31); i >= 1 && m_probeAt == 0; --i) {
        if (!QChar::isSurrogate(m_folded[i]))
            m_probeAt = i;
    }
    m_probe = m_probeAt > 0 ? variantsOf(table, m_folded[m_probeAt]) : m_first;
    if (m_probe.count < 0) {
        m_probeAt = 0;
        m_probe = m_first;
    }
    m_startsWithLowSurrogate = QChar::isLowSurrogate(text.front().unicode());
    m_endsWithHighSurrogate = QChar::isHighSurrogate(text.back().unicode());
}

// One pass over [from, to) of a text: a fallback-table scan of the folded
// units, which skips ahead on the first and probe units whenever no part of
// a match is under way.
class MatchScan
{
public:
    MatchScan(const SearchedText &text, const TextPattern &pattern,
              const std::function<bool(qsizetype)> &found)
        : m_text(text)
        , m_pattern(pattern)
        , m_found(found)
        , m_table(pattern.m_caseSensitivity == Qt::CaseInsensitive ? foldTable() : nullptr)
#if defined(__SSE2__)
        , m_latin1First(pattern.m_first)
        , m_latin1Probe(pattern.m_probe)
        , m_utf16First(pattern.m_first)
        , m_utf16Probe(pattern.m_probe)
#endif
    { }

    // False when `cancel` was set.
    bool run(qsizetype from, qsizetype to, const std::atomic<bool> *cancel)
    {
        m_at = from;
        m_previous = m_text.unit(from - 1);
        for (const QAnyStringView piece : m_text.pieces(from, to)) {
            if (cancel && cancel->load(std::memory_order_relaxed))
                return false;
            const bool goOn = piece.visit([this](auto view) {
                using View = decltype(view);
                if constexpr (std::is_same_v<View, QStringView>) {
                    return scan(view.utf16(), view.size());
                } else if constexpr (std::is_same_v<View, QLatin1StringView>) {
                    return scan(reinterpret_cast<const uchar *>(view.data()), view.size());
                } else {
                    Q_ASSERT_X(false, "MatchScan", "stored pieces are Latin-1 or UTF-16");
                    return false;
                }
            });
            if (!goOn)
                break;
        }
        return true;
    }

private:
    // False once `found` asked to stop.
    template<typename Unit>
    bool scan(const Unit *units, qsizetype size)
    {
        const char16_t *needle = m_pattern.m_folded.data();
        const qsizetype *fallback = m_pattern.m_fallback.data();
        const qsizetype length = m_pattern.length();
        char16_t previous = m_previous;
        qsizetype i = 0;
        while (i < size) {
            if (m_state == 0) {
                i = nextCandidate(units, i, size);
                if (i == size)
                    break;
                if (i > 0)
                    previous = units[i - 1];
            }
            for (; i < size; ++i) {
                const char16_t unit = units[i];
                char16_t c = unit;
                if constexpr (sizeof(Unit) == 1) {
                    if (m_table)
                        c = m_table[unit];
                } else {
                    c = folded(m_table, unit, previous);
                }
                previous = unit;
                while (m_state > 0 && needle[m_state] != c)
                    m_state = fallback[m_state - 1];
                if (needle[m_state] == c)
                    ++m_state;
                if (m_state == length) {
                    m_state = fallback[length - 1];
                    if (!report(m_at + i + 1 - length))
                        return false;
                }
                if (m_state == 0) {
                    ++i;
                    break;
                }
            }
        }
        if (size > 0)
            m_previous = units[size - 1];
        m_at += size;
        return true;
    }

    // The first place at or after `i` where a match may start, judged by the
    // first unit and the probe unit (when it lies in this piece), or `size`.
    template<typename Unit>
    qsizetype nextCandidate(const Unit *units, qsizetype i, qsizetype size) const
    {
        const TextPattern::Variants &first = m_pattern.m_first;
        const TextPattern::Variants &probe = m_pattern.m_probe;
        const qsizetype probeAt = m_pattern.m_probeAt;
        if (first.count < 0)
            return i;
#if defined(__SSE2__)
        const Lanes<Unit> &firstLanes = lanes<Unit>(true);
        const Lanes<Unit> &probeLanes = lanes<Unit>(false);
        if (firstLanes.none)
            return size;
        if (probeLanes.none) {
            // Only a candidate whose probe falls past this piece is left.
            i = std::max(i, size - probeAt);
        } else {
            constexpr qsizetype lanes = 16 / sizeof(Unit);
            for (; i + probeAt + lanes <= size; i += lanes) {
                const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + i));
                const __m128i ahead
                        = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + i + probeAt));
                const unsigned mask = unsigned(_mm_movemask_epi8(
                        _mm_and_si128(firstLanes.equal(at), probeLanes.equal(ahead))));
                if (mask != 0)
                    return i + qsizetype(std::countr_zero(mask)) / qsizetype(sizeof(Unit));
            }
        }
#endif
        for (; i < size; ++i) {
            if (first.contains(units[i])
                && (i + probeAt >= size || probe.contains(units[i + probeAt])))
                return i;
        }
        return size;
    }

#if defined(__SSE2__)
    template<typename Unit>
    const Lanes<Unit> &lanes(bool first) const
    {
        if constexpr (sizeof(Unit) == 1)
            return first ? m_latin1First : m_latin1Probe;
        else
            return first ? m_utf16First : m_utf16Probe;
    }
#endif

    bool report(qsizetype start)
    {
        // A match that splits a surrogate pair is no match.
        if (m_pattern.m_startsWithLowSurrogate && QChar::isHighSurrogate(m_text.unit(start - 1)))
            return true;
        if (m_pattern.m_endsWithHighSurrogate
            && QChar::isLowSurrogate(m_text.unit(start + m_pattern.length())))
            return true;
        return m_found(start);
    }

    const SearchedText &m_text;
    const TextPattern &m_pattern;
    const std::function<bool(qsizetype)> &m_found;
    const char16_t *m_table; // null when case counts
#if defined(__SSE2__)
    Lanes<uchar> m_latin1First;
    Lanes<uchar> m_latin1Probe;
    Lanes<char16_t> m_utf16First;
    Lanes<char16_t> m_utf16Probe;
#endif
    qsizetype m_state = 0; // units of the pattern matched up to here
    qsizetype m_at = 0;    // the text position of the current piece
    char16_t m_previous = 0;
};

SearchedText searchedText(const TextStore &store)
{
    return store.stored();
}

SearchedText searchedText(const TextSnapshot &snapshot)
{
    return snapshot.stored();
}

bool forEachMatch(const SearchedText &text, const TextPattern &pattern, qsizetype first,
                  qsizetype last, const std::function<bool(qsizetype start)> &found,
                  const std::atomic<bool> *cancel)
{
    const qsizetype length = pattern.length();
    first = std::max<qsizetype>(first, 0);
    last = std::min(last, text.length() - length + 1);
    if (length == 0 || first >= last)
        return !(cancel && cancel->load(std::memory_order_relaxed));
    MatchScan scan(text, pattern, found);
    return scan.run(first, last + length - 1, cancel);
}

bool matchesAt(const SearchedText &text, const TextPattern &pattern, qsizetype start)
{
    bool found = false;
    forEachMatch(text, pattern, start, start + 1, [&found](qsizetype) {
        found = true;
        return false;
    });
    return found;
}

namespace {

SearchOutcome firstIn(const SearchedText &text, const TextPattern &pattern, qsizetype from,
                      qsizetype to, const std::atomic<bool> *cancel)
{
    SearchOutcome outcome;
    outcome.cancelled = !forEachMatch(
            text, pattern, from, to,
            [&outcome](qsizetype start) {
                outcome.start = start;
                return false;
            },
            cancel);
    return outcome;
}

// Block by block from the end, so that a match near `to` is found without
// reading all the text before it.
SearchOutcome lastIn(const SearchedText &text, const TextPattern &pattern, qsizetype from,
                     qsizetype to, const std::atomic<bool> *cancel)
{
    const qsizetype block = std::max(qsizetype(4) << 20, 4 * pattern.length());
    SearchOutcome outcome;
    for (qsizetype end = to; end > from && !outcome.found(); end -= block) {
        const qsizetype start = std::max(from, end - block);
        outcome.cancelled = !forEachMatch(
                text, pattern, start, end,
                [&outcome](qsizetype match) {
                    outcome.start = match;
                    return true;
                },
                cancel);
        if (outcome.cancelled)
            return outcome;
    }
    return outcome;
}

} // namespace

SearchOutcome findNearest(const SearchedText &text, const TextPattern &pattern, qsizetype from,
                          SearchDirection direction, const std::atomic<bool> *cancel)
{
    from = std::clamp<qsizetype>(from, 0, text.length());
    const bool forward = direction == SearchDirection::Forward;
    SearchOutcome outcome = forward ? firstIn(text, pattern, from, text.length(), cancel)
                                    : lastIn(text, pattern, 0, from, cancel);
    if (outcome.found() || outcome.cancelled)
        return outcome;
    outcome = forward ? firstIn(text, pattern, 0, from, cancel)
                      : lastIn(text, pattern, from, text.length(), cancel);
    outcome.wrapped = outcome.found();
    return outcome;
}
