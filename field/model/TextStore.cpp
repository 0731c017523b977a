#include "field/model/TextStore.h"

#include "field/memory/ChunkMemory.h"
#include "field/model/Utf8Encoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// What the chunks keep to, so that each chunk's breaks can be counted alone:
// - no chunk is empty or longer than chunkUnits;
// - no CR LF is split between two chunks;
// - a chunk that is filled up does not end in a CR, so an LF that comes later
//   never has to start the next chunk right after that CR.
// A paragraph start that follows a break belongs to the chunk that holds the
// break's last unit; one at a cut, to the chunk that holds the unit at the cut.

namespace {

constexpr char16_t cr = u'\r';
constexpr char16_t lf = u'\n';

// The seam rule: a CR that ends one chunk and an LF that starts the next would
// split a CR LF. Every edit that makes a seam asks this.
bool splitsCrLf(int before, int after)
{
    return before == cr && after == lf;
}

template<typename Unit>
bool isBreak(Unit unit)
{
    return unit == Unit(lf) || unit == Unit(cr);
}

#if defined(__SSE2__)
// A bit a byte for every CR or LF among the sixteen bytes at `units`.
template<typename Unit>
unsigned breakMask(const Unit *units)
{
    const auto equal = [](__m128i a, __m128i b) {
        return sizeof(Unit) == 1 ? _mm_cmpeq_epi8(a, b) : _mm_cmpeq_epi16(a, b);
    };
    const __m128i crs = sizeof(Unit) == 1 ? _mm_set1_epi8(char(cr)) : _mm_set1_epi16(short(cr));
    const __m128i lfs = sizeof(Unit) == 1 ? _mm_set1_epi8(char(lf)) : _mm_set1_epi16(short(lf));
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units));
    return unsigned(_mm_movemask_epi8(_mm_or_si128(equal(block, crs), equal(block, lfs))));
}
#endif

// The first CR or LF in [from, to), or `to`. Log text mostly has long runs
// without a break, so sixteen bytes are compared at a time where SSE2 is there
// (every x86-64), else eight bytes or four UTF-16 units in a 64-bit word.
template<typename Unit>
qsizetype findBreak(const Unit *units, qsizetype from, qsizetype to)
{
    qsizetype i = from;
#if defined(__SSE2__)
    constexpr qsizetype lanes = 16 / sizeof(Unit);
    for (; i + lanes <= to; i += lanes) {
        const unsigned mask = breakMask(units + i);
        if (mask != 0)
            return i + qsizetype(std::countr_zero(mask)) / qsizetype(sizeof(Unit));
    }
#else
    constexpr qsizetype lanes = sizeof(quint64) / sizeof(Unit);
    constexpr quint64 low = sizeof(Unit) == 1 ? 0x0101010101010101 : 0x0001000100010001;
    constexpr quint64 high = low << (8 * sizeof(Unit) - 1);
    // Nonzero exactly when some lane of x is zero.
    const auto zeroLane = [](quint64 x) { return (x - low) & ~x & high; };
    for (; i + lanes <= to; i += lanes) {
        quint64 word;
        std::memcpy(&word, units + i, sizeof word);
        if ((zeroLane(word ^ (low * lf)) | zeroLane(word ^ (low * cr))) != 0)
            break;
    }
#endif
    for (; i < to; ++i) {
        if (isBreak(units[i]))
            return i;
    }
    return to;
}

// Both run over every unit of a paste, which may be a hundred million: eight
// units at a time where SSE2 is there.
bool hasWideUnit(const char16_t *units, qsizetype count)
{
    qsizetype i = 0;
    char16_t all = 0;
#if defined(__SSE2__)
    __m128i any = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8)
        any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + i)));
    const __m128i high = _mm_and_si128(any, _mm_set1_epi16(short(0xFF00)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF)
        return true;
#endif
    for (; i < count; ++i)
        all |= units[i];
    return all > 0xFF;
}

// Units that are all below U+0100, as bytes.
void narrow(uchar *out, const char16_t *units, qsizetype count)
{
    qsizetype i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= count; i += 16) {
        const auto *in = reinterpret_cast<const __m128i *>(units + i);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                         _mm_packus_epi16(_mm_loadu_si128(in), _mm_loadu_si128(in + 1)));
    }
#endif
    for (; i < count; ++i)
        out[i] = uchar(units[i]);
}

// Cuts inside a line of `length` units that starts at a break: one every
// `paragraphUnits` units, none at its start or end.
qsizetype cutsInLine(qsizetype length, qsizetype paragraphUnits)
{
    // Most lines are shorter than a paragraph: no division for them.
    return length > paragraphUnits ? (length - 1) / paragraphUnits : 0;
}

// Freeing chunks only gives back the memory at the top of the heap; a trim
// gives back the free pages below other allocations too. It costs a walk over
// the free memory besides the kernel's work, so small frees go without.
//
// Chunks stay small heap blocks rather than blocks big enough to be mapped on
// their own: glibc raises its mapping threshold past the size of each mapped
// block it frees, so after one clear such blocks come from the heap all the
// same; and unmapping chunk by chunk cost more than one trim per slice.
constexpr qsizetype trimBytes = qsizetype(1) << 20;

void trimHeap()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Cuts among `length` units of a line that already has `column` units before them.
qsizetype cutsGoingOn(qsizetype column, qsizetype length, qsizetype paragraphUnits)
{
    if (length == 0)
        return 0;
    return (column + length - 1) / paragraphUnits
           - (std::max<qsizetype>(column, 1) - 1) / paragraphUnits;
}

} // namespace

struct TextStore::Chunk
{
    // Shared with snapshots: units once stored never change, and appends
    // write only past `size`, which no snapshot reads.
    std::shared_ptr<uchar[]> latin1;   // while every unit is below U+0100
    std::shared_ptr<char16_t[]> utf16; // from the first unit that is not
    qsizetype size = 0;
    qsizetype capacity = 0;

    // The chunk's line breaks. A CR LF is never split between chunks, so these
    // need no look at the neighbours.
    qsizetype breaks = 0;
    qsizetype firstBreak = 0;   // offset of the first break, when there is one
    qsizetype lastBreakEnd = 0; // offset just after the last break, when there is one
    qsizetype closedCuts = 0;   // cuts in the lines that start and end in the chunk

    bool wide() const { return bool(utf16); }
    char16_t unit(qsizetype i) const { return utf16 ? utf16[i] : latin1[i]; }
    char16_t front() const { return unit(0); }
    char16_t back() const { return unit(size - 1); }
    qsizetype bytes() const { return capacity * (wide() ? 2 : 1); }
    // Units before the first break: the end of a line that began in earlier chunks.
    qsizetype firstSegment() const { return breaks > 0 ? firstBreak : size; }
    // Cuts in the lines that start after a break in the chunk.
    qsizetype innerCuts(qsizetype paragraphUnits) const
    {
        return breaks > 0 ? closedCuts + cutsInLine(size - lastBreakEnd, paragraphUnits) : 0;
    }

    void append(QStringView part, qsizetype target, qsizetype paragraphUnits);
    void append(QLatin1StringView part, qsizetype target, qsizetype paragraphUnits);
    void copyTo(QChar *out, qsizetype from, qsizetype to) const;
    QString text(qsizetype from, qsizetype to) const;

private:
    void reallocate(qsizetype newCapacity, bool toWide);
    template<typename Unit>
    void scanLines(Unit *units, qsizetype from, qsizetype paragraphUnits,
                   const Unit *copyFrom = nullptr);
};

void TextStore::Chunk::append(QStringView part, qsizetype target, qsizetype paragraphUnits)
{
    const auto *source = part.utf16();
    const qsizetype count = part.size();
    const qsizetype needed = size + count;
    const bool widen = !wide() && hasWideUnit(source, count);
    if (widen || needed > capacity)
        reallocate(std::min(target, std::max(needed, 2 * capacity)), widen || wide());
    const qsizetype from = size;
    if (wide()) {
        std::memcpy(utf16.get() + from, source, count * sizeof(char16_t));
        size = needed;
        scanLines(utf16.get(), from, paragraphUnits);
    } else {
        narrow(latin1.get() + from, source, count);
        size = needed;
        scanLines(latin1.get(), from, paragraphUnits);
    }
}

void TextStore::Chunk::append(QLatin1StringView part, qsizetype target, qsizetype paragraphUnits)
{
    const auto *source = reinterpret_cast<const uchar *>(part.data());
    const qsizetype count = part.size();
    const qsizetype needed = size + count;
    if (needed > capacity)
        reallocate(std::min(target, std::max(needed, 2 * capacity)), wide());
    const qsizetype from = size;
    size = needed;
    if (wide()) {
        std::copy_n(source, count, utf16.get() + from);
        scanLines(utf16.get(), from, paragraphUnits);
    } else {
        scanLines(latin1.get(), from, paragraphUnits, source);
    }
}

void TextStore::Chunk::reallocate(qsizetype newCapacity, bool toWide)
{
    if (toWide) {
        auto units = ChunkMemory::utf16(newCapacity);
        if (wide())
            std::memcpy(units.get(), utf16.get(), size * sizeof(char16_t));
        else
            std::copy_n(latin1.get(), size, units.get());
        utf16 = std::move(units);
        latin1.reset();
    } else {
        auto units = ChunkMemory::latin1(newCapacity);
        if (size > 0)
            std::memcpy(units.get(), latin1.get(), size);
        latin1 = std::move(units);
    }
    capacity = newCapacity;
}

// Takes in the breaks of units [from, size), which were just added, or are
// copied in from `copyFrom` on the way: one pass over a stream's bytes rather
// than a copy and then a search. The counts live in locals while the loop
// runs: stores to members could alias the units read through a byte pointer
// and would be redone for every break.
template<typename Unit>
void TextStore::Chunk::scanLines(Unit *units, qsizetype from, qsizetype paragraphUnits,
                                 const Unit *copyFrom)
{
    qsizetype count = breaks;
    qsizetype first = firstBreak;
    qsizetype end = lastBreakEnd;
    qsizetype cuts = closedCuts;
    const qsizetype to = size;
    const auto take = [&](qsizetype i) {
        if (units[i] == Unit(lf) && i > 0 && units[i - 1] == Unit(cr)) {
            end = i + 1; // the LF of a CR LF whose CR is already counted
            return;
        }
        if (count == 0)
            first = i;
        else
            cuts += cutsInLine(i - end, paragraphUnits);
        ++count;
        end = i + 1;
    };
    qsizetype i = from;
#if defined(__SSE2__)
    // Every break of sixteen bytes from one compare: text with short lines (hex
    // records above all) has several in each block.
    constexpr qsizetype lanes = 16 / sizeof(Unit);
    for (; i + lanes <= to; i += lanes) {
        if (copyFrom)
            std::memcpy(units + i, copyFrom + (i - from), 16);
        unsigned mask = breakMask(units + i);
        while (mask != 0) {
            take(i + qsizetype(std::countr_zero(mask)) / qsizetype(sizeof(Unit)));
            mask &= mask - 1;
            if constexpr (sizeof(Unit) == 2)
                mask &= mask - 1; // both bytes of a UTF-16 lane are set
        }
    }
#endif
    if (copyFrom)
        std::memcpy(units + i, copyFrom + (i - from), size_t(to - i) * sizeof(Unit));
    for (i = findBreak(units, i, to); i < to; i = findBreak(units, i + 1, to))
        take(i);
    breaks = count;
    firstBreak = first;
    lastBreakEnd = end;
    closedCuts = cuts;
}

void TextStore::Chunk::copyTo(QChar *out, qsizetype from, qsizetype to) const
{
    if (wide()) {
        std::memcpy(static_cast<void *>(out), utf16.get() + from, (to - from) * sizeof(char16_t));
        return;
    }
    const uchar *in = latin1.get() + from;
    for (qsizetype i = 0; i < to - from; ++i)
        out[i] = QChar(char16_t(in[i]));
}

QString TextStore::Chunk::text(qsizetype from, qsizetype to) const
{
    QString result(to - from, Qt::Uninitialized);
    copyTo(result.data(), from, to);
    return result;
}

TextStore::TextStore()
    : TextStore(Limits {})
{ }

TextStore::TextStore(const Limits &limits)
    : m_limits(limits)
{
    Q_ASSERT(limits.chunkUnits >= 2 && limits.paragraphUnits >= 1 && limits.capacity >= 0
             && limits.keepAsideBytes >= 0);
    m_limits.chunkUnits = std::max<qsizetype>(limits.chunkUnits, 2);
    m_limits.paragraphUnits = std::max<qsizetype>(limits.paragraphUnits, 1);
    m_limits.capacity = std::max<qsizetype>(limits.capacity, 0);
    m_limits.keepAsideBytes = std::max<qsizetype>(limits.keepAsideBytes, 0);
    updateTotalsFrom(0);
}

TextStore::~TextStore() = default;

template<typename View>
void TextStore::appendTo(std::vector<Chunk> &chunks, View piece, qsizetype target,
                         qsizetype paragraphUnits)
{
    while (!piece.isEmpty()) {
        Chunk *last = chunks.empty() ? nullptr : &chunks.back();
        qsizetype take = last ? std::min(piece.size(), target - last->size) : 0;
        // Leaves the last place to anything but a CR, so a CR LF stays together.
        if (take > 0 && last->size + take == target && piece[take - 1].unicode() == cr)
            --take;
        if (take == 0) {
            chunks.emplace_back();
            continue;
        }
        last->append(piece.first(take), target, paragraphUnits);
        piece = piece.sliced(take);
    }
}

bool TextStore::append(QStringView piece)
{
    return appendView(piece);
}

bool TextStore::append(QLatin1StringView piece)
{
    return appendView(piece);
}

template<typename View>
bool TextStore::appendView(View piece)
{
    if (piece.size() > m_limits.capacity - length())
        return false;
    if (piece.isEmpty())
        return true;
    const qsizetype changed = m_chunks.empty() ? 0 : qsizetype(m_chunks.size()) - 1;
    const qsizetype end = length();
    appendTo(m_chunks, piece, m_limits.chunkUnits, m_limits.paragraphUnits);
    updateTotalsFrom(changed);
    moveMarks(end, 0, piece.size());
    return true;
}

bool TextStore::insert(qsizetype position, QStringView piece)
{
    if (piece.size() > m_limits.capacity - length())
        return false;
    position = std::clamp<qsizetype>(position, 0, length());
    if (position == length())
        return append(piece);
    if (piece.isEmpty())
        return true;
    const qsizetype chunk = chunkAt(position);
    const Chunk &old = m_chunks[chunk];
    const qsizetype offset = position - m_startOf[chunk];
    // A large piece (a paste of a hundred million units) goes into chunks
    // straight from the view rather than through one string with the chunk it
    // lands in: one copy instead of two. The chunk's own ends keep the seams
    // with its neighbours as they were; only a piece that starts the chunk may
    // meet a CR before it.
    const bool startsAfterCr = offset == 0 && chunk > 0
                               && splitsCrLf(m_chunks[chunk - 1].back(), piece.front().unicode());
    if (piece.size() >= m_limits.chunkUnits && !startsAfterCr) {
        const QString head = old.text(0, offset);
        const QString tail = old.text(offset, old.size);
        std::vector<Chunk> built;
        for (const QStringView part : { QStringView(head), piece, QStringView(tail) })
            appendTo(built, part, m_limits.chunkUnits, m_limits.paragraphUnits);
        std::vector<Chunk> replaced;
        replaced.push_back(std::move(m_chunks[chunk]));
        const auto at = m_chunks.erase(m_chunks.begin() + chunk);
        m_chunks.insert(at, std::make_move_iterator(built.begin()),
                        std::make_move_iterator(built.end()));
        updateTotalsFrom(chunk);
        release(std::move(replaced));
        moveMarks(position, 0, piece.size());
        return true;
    }
    QString replacement;
    replacement.reserve(old.size + piece.size());
    replacement += old.text(0, offset);
    replacement += piece;
    replacement += old.text(offset, old.size);
    rebuild(chunk, chunk + 1, std::move(replacement));
    moveMarks(position, 0, piece.size());
    return true;
}

void TextStore::remove(qsizetype position, qsizetype count)
{
    position = std::clamp<qsizetype>(position, 0, length());
    count = std::clamp<qsizetype>(count, 0, length() - position);
    if (count == 0)
        return;
    if (count == length()) {
        clear();
        return;
    }
    const qsizetype first = chunkAt(position);
    const qsizetype last = chunkAt(position + count - 1);
    const qsizetype end = position + count - m_startOf[last];
    rebuild(first, last + 1,
            m_chunks[first].text(0, position - m_startOf[first])
                    + m_chunks[last].text(end, m_chunks[last].size));
    moveMarks(position, count, 0);
}

void TextStore::clear()
{
    if (m_chunks.empty())
        return;
    release(takeAll());
}

std::vector<TextStore::Chunk> TextStore::takeAll()
{
    // Swapping with fresh vectors is what gives their memory back.
    std::vector<qsizetype> { 0 }.swap(m_startOf);
    std::vector<qsizetype> { 1 }.swap(m_paragraphsBefore);
    std::vector<qsizetype> { 0 }.swap(m_lineStart);
    ++m_edits;
    std::replace_if(
            m_marks.begin(), m_marks.end(), [](qsizetype mark) { return mark > 0; }, 0);
    for (Starts &starts : m_starts)
        std::vector<qsizetype>().swap(starts.offsets);
    return std::exchange(m_chunks, {});
}

TextStore::Taken::Taken() = default;
TextStore::Taken::~Taken() = default;
TextStore::Taken::Taken(Taken &&other) noexcept
    : m_chunks(std::move(other.m_chunks))
    , m_length(std::exchange(other.m_length, 0))
{
    other.m_chunks.clear();
}

TextStore::Taken &TextStore::Taken::operator=(Taken &&other) noexcept
{
    m_chunks = std::move(other.m_chunks);
    other.m_chunks.clear();
    m_length = std::exchange(other.m_length, 0);
    return *this;
}

QString TextStore::Taken::text(qsizetype from, qsizetype to) const
{
    from = std::clamp<qsizetype>(from, 0, m_length);
    to = std::clamp<qsizetype>(to, from, m_length);
    QString result(to - from, Qt::Uninitialized);
    QChar *out = result.data();
    qsizetype start = 0;
    for (const Chunk &chunk : m_chunks) {
        const qsizetype end = start + chunk.size;
        if (end > from && start < to) {
            const qsizetype a = std::max(from, start);
            const qsizetype b = std::min(to, end);
            chunk.copyTo(out, a - start, b - start);
            out += b - a;
        }
        start = end;
    }
    return result;
}

qsizetype TextStore::Taken::memoryBytes() const
{
    qsizetype bytes = sizeof(Taken) + qsizetype(m_chunks.capacity() * sizeof(Chunk));
    for (const Chunk &chunk : m_chunks)
        bytes += chunk.bytes();
    return bytes;
}

TextStore::Taken TextStore::take(qsizetype position, qsizetype count)
{
    position = std::clamp<qsizetype>(position, 0, length());
    count = std::clamp<qsizetype>(count, 0, length() - position);
    Taken taken;
    taken.m_length = count;
    if (count == 0)
        return taken;
    if (count == length()) {
        taken.m_chunks = takeAll();
        return taken;
    }
    const qsizetype first = chunkAt(position);
    const qsizetype last = chunkAt(position + count - 1);
    const qsizetype from = position - m_startOf[first];
    const qsizetype end = position + count - m_startOf[last];
    const Chunk &head = m_chunks[first];
    const Chunk &tail = m_chunks[last];
    // Only the ends are copied; the seams between them and the whole chunks
    // in between were chunk seams already, so they split no CR LF.
    appendTo(taken.m_chunks, QStringView(head.text(from, first == last ? end : head.size)),
             m_limits.chunkUnits, m_limits.paragraphUnits);
    std::vector<Chunk> ending;
    if (first != last)
        appendTo(ending, QStringView(tail.text(0, end)), m_limits.chunkUnits,
                 m_limits.paragraphUnits);
    std::vector<Chunk> replaced;
    const qsizetype replacedFrom
            = rebuild(first, last + 1, head.text(0, from) + tail.text(end, tail.size), replaced);
    std::vector<Chunk> dropped;
    for (qsizetype i = 0; i < qsizetype(replaced.size()); ++i) {
        const qsizetype chunk = replacedFrom + i;
        if (chunk > first && chunk < last)
            taken.m_chunks.push_back(std::move(replaced[i]));
        else
            dropped.push_back(std::move(replaced[i]));
    }
    taken.m_chunks.insert(taken.m_chunks.end(), std::make_move_iterator(ending.begin()),
                          std::make_move_iterator(ending.end()));
    release(std::move(dropped));
    moveMarks(position, count, 0);
    return taken;
}

bool TextStore::put(qsizetype position, Taken &text)
{
    if (text.length() > m_limits.capacity - length())
        return false;
    if (text.isEmpty())
        return true;
    position = std::clamp<qsizetype>(position, 0, length());
    const qsizetype inserted = text.length();
    std::vector<Chunk> pieces = std::exchange(text.m_chunks, {});
    text.m_length = 0;
    if (m_chunks.empty()) {
        m_chunks = std::move(pieces);
        updateTotalsFrom(0);
        moveMarks(0, 0, inserted);
        return true;
    }
    if (pieces.size() == 1)
        return insert(position, QStringView(pieces.front().text(0, pieces.front().size)));
    // The chunk at the position is split around the pieces: its head joins the
    // first piece, its tail the last one, and the pieces in between move in.
    const qsizetype at = chunkAt(position);
    const Chunk &split = m_chunks[at];
    const qsizetype offset = position - m_startOf[at];
    QString front = split.text(0, offset) + pieces.front().text(0, pieces.front().size);
    const QString back = pieces.back().text(0, pieces.back().size) + split.text(offset, split.size);
    qsizetype first = at;
    // An LF in front of the chunk would split a CR LF from the one before.
    if (offset == 0 && at > 0 && splitsCrLf(m_chunks[at - 1].back(), front.front().unicode())) {
        --first;
        front.prepend(m_chunks[first].text(0, m_chunks[first].size));
    }
    std::vector<Chunk> built;
    appendTo(built, QStringView(front), m_limits.chunkUnits, m_limits.paragraphUnits);
    built.insert(built.end(), std::make_move_iterator(pieces.begin() + 1),
                 std::make_move_iterator(pieces.end() - 1));
    std::vector<Chunk> ending;
    appendTo(ending, QStringView(back), m_limits.chunkUnits, m_limits.paragraphUnits);
    built.insert(built.end(), std::make_move_iterator(ending.begin()),
                 std::make_move_iterator(ending.end()));
    const auto begin = m_chunks.begin() + first;
    const auto end = m_chunks.begin() + at + 1;
    std::vector<Chunk> replaced(std::make_move_iterator(begin), std::make_move_iterator(end));
    m_chunks.insert(m_chunks.erase(begin, end), std::make_move_iterator(built.begin()),
                    std::make_move_iterator(built.end()));
    updateTotalsFrom(first);
    release(std::move(replaced));
    moveMarks(position, 0, inserted);
    return true;
}

void TextStore::join(Taken &front, Taken &&back) const
{
    if (back.isEmpty())
        return;
    if (front.isEmpty()) {
        front = std::move(back);
        return;
    }
    std::vector<Chunk> &chunks = front.m_chunks;
    const Chunk &end = chunks.back();
    const Chunk &start = back.m_chunks.front();
    const qsizetype small = m_limits.chunkUnits / 4;
    auto rest = back.m_chunks.begin();
    // The two chunks at the seam become one or two when they would split a
    // CR LF or one of them is small, so runs of single deletions leave no crumbs.
    if (splitsCrLf(end.back(), start.front()) || end.size < small || start.size < small) {
        const QString seam = end.text(0, end.size) + start.text(0, start.size);
        chunks.pop_back();
        std::vector<Chunk> built;
        appendTo(built, QStringView(seam), m_limits.chunkUnits, m_limits.paragraphUnits);
        chunks.insert(chunks.end(), std::make_move_iterator(built.begin()),
                      std::make_move_iterator(built.end()));
        ++rest;
    }
    chunks.insert(chunks.end(), std::make_move_iterator(rest),
                  std::make_move_iterator(back.m_chunks.end()));
    front.m_length += std::exchange(back.m_length, 0);
    back.m_chunks.clear();
}

void TextStore::discard(Taken &&text)
{
    text.m_length = 0;
    release(std::exchange(text.m_chunks, {}));
}

void TextStore::release(std::vector<Chunk> chunks)
{
    qsizetype bytes = 0;
    for (const Chunk &chunk : chunks)
        bytes += chunk.bytes();
    if (bytes >= m_limits.keepAsideBytes) {
        if (m_aside.empty())
            m_aside = std::move(chunks);
        else
            m_aside.insert(m_aside.end(), std::make_move_iterator(chunks.begin()),
                           std::make_move_iterator(chunks.end()));
        return;
    }
    std::vector<Chunk>().swap(chunks);
    if (bytes >= trimBytes)
        trimHeap();
}

bool TextStore::releaseMemory(qsizetype budgetBytes)
{
    if (m_aside.empty())
        return false;
    qsizetype freed = 0;
    // From the back, as the last chunks made are the likeliest to lie at the
    // top of the heap, which a free alone already gives back.
    do {
        freed += m_aside.back().bytes();
        m_aside.pop_back();
    } while (!m_aside.empty() && freed < budgetBytes);
    if (m_aside.empty())
        std::vector<Chunk>().swap(m_aside);
    if (freed >= trimBytes || m_aside.empty())
        trimHeap();
    return !m_aside.empty();
}

void TextStore::rebuild(qsizetype first, qsizetype last, QString replacement)
{
    std::vector<Chunk> replaced;
    rebuild(first, last, std::move(replacement), replaced);
    release(std::move(replaced));
}

qsizetype TextStore::rebuild(qsizetype first, qsizetype last, QString replacement,
                             std::vector<Chunk> &replaced)
{
    const auto count = qsizetype(m_chunks.size());
    const auto unitAt = [&](qsizetype chunk, qsizetype offset) -> int {
        const Chunk &c = m_chunks[chunk];
        return c.unit(offset < 0 ? c.size + offset : offset);
    };
    // The units that will meet at the seams before and after the replacement.
    const int before = first > 0 ? unitAt(first - 1, -1) : -1;
    const int after = last < count ? unitAt(last, 0) : -1;
    const int head = replacement.isEmpty() ? after : replacement.front().unicode();
    const int tail = replacement.isEmpty() ? before : replacement.back().unicode();
    bool takePrevious = splitsCrLf(before, head);
    bool takeNext = splitsCrLf(tail, after);
    // A small remainder joins a neighbour, so edits don't leave the text in crumbs.
    if (!takePrevious && !takeNext && !replacement.isEmpty()
        && replacement.size() < m_limits.chunkUnits / 4) {
        takeNext = last < count;
        takePrevious = !takeNext && first > 0;
    }
    if (takePrevious) {
        --first;
        replacement.prepend(m_chunks[first].text(0, m_chunks[first].size));
    }
    if (takeNext) {
        replacement += m_chunks[last].text(0, m_chunks[last].size);
        ++last;
    }

    // As few chunks as will do, of even size.
    std::vector<Chunk> built;
    if (!replacement.isEmpty()) {
        const qsizetype total = replacement.size();
        const qsizetype pieces = (total + m_limits.chunkUnits - 1) / m_limits.chunkUnits;
        const qsizetype target = std::max<qsizetype>(2, (total + pieces - 1) / pieces);
        appendTo(built, QStringView(replacement), target, m_limits.paragraphUnits);
    }
    const auto begin = m_chunks.begin() + first;
    const auto end = m_chunks.begin() + last;
    replaced.assign(std::make_move_iterator(begin), std::make_move_iterator(end));
    m_chunks.insert(m_chunks.erase(begin, end), std::make_move_iterator(built.begin()),
                    std::make_move_iterator(built.end()));
    updateTotalsFrom(first);
    return first;
}

void TextStore::updateTotalsFrom(qsizetype chunk)
{
    ++m_edits;
    computeTotals(chunk, m_startOf, m_paragraphsBefore, m_lineStart);
}

void TextStore::computeTotals(qsizetype chunk, std::vector<qsizetype> &startOf,
                              std::vector<qsizetype> &paragraphsBefore,
                              std::vector<qsizetype> &lineStart) const
{
    const auto count = qsizetype(m_chunks.size());
    const qsizetype paragraphUnits = m_limits.paragraphUnits;
    startOf.resize(count + 1);
    paragraphsBefore.resize(count + 1);
    lineStart.resize(count + 1);
    if (chunk == 0) {
        startOf[0] = 0;
        paragraphsBefore[0] = 1; // the first paragraph starts with the text
        lineStart[0] = 0;
    }
    for (qsizetype i = chunk; i < count; ++i) {
        const Chunk &c = m_chunks[i];
        const qsizetype start = startOf[i];
        const qsizetype column = start - lineStart[i];
        startOf[i + 1] = start + c.size;
        paragraphsBefore[i + 1] = paragraphsBefore[i] + c.breaks + c.innerCuts(paragraphUnits)
                                  + cutsGoingOn(column, c.firstSegment(), paragraphUnits);
        lineStart[i + 1] = c.breaks > 0 ? start + c.lastBreakEnd : lineStart[i];
    }
}

QString TextStore::checkInvariants() const
{
    const auto count = qsizetype(m_chunks.size());
    for (qsizetype i = 0; i < count; ++i) {
        const Chunk &c = m_chunks[i];
        const QString at = QStringLiteral(" (chunk %1 of %2)").arg(i).arg(count);
        if (c.size <= 0 || c.size > m_limits.chunkUnits || c.size > c.capacity)
            return QStringLiteral("a chunk is empty or too long") + at;
        if (i > 0 && splitsCrLf(m_chunks[i - 1].back(), c.front()))
            return QStringLiteral("a CR LF is split between chunks") + at;
        if (i + 1 == count && c.size == m_limits.chunkUnits && c.back() == cr)
            return QStringLiteral("the last chunk is full and ends in a CR") + at;
        // Its breaks, counted afresh.
        Chunk fresh;
        if (c.wide())
            fresh.append(QStringView(c.utf16.get(), c.size), c.size, m_limits.paragraphUnits);
        else
            fresh.append(QLatin1StringView(reinterpret_cast<const char *>(c.latin1.get()), c.size),
                         c.size, m_limits.paragraphUnits);
        if (fresh.breaks != c.breaks || fresh.closedCuts != c.closedCuts
            || (c.breaks > 0
                && (fresh.firstBreak != c.firstBreak || fresh.lastBreakEnd != c.lastBreakEnd)))
            return QStringLiteral("a chunk's breaks are counted wrong") + at;
    }
    std::vector<qsizetype> startOf;
    std::vector<qsizetype> paragraphsBefore;
    std::vector<qsizetype> lineStart;
    computeTotals(0, startOf, paragraphsBefore, lineStart);
    if (startOf != m_startOf || paragraphsBefore != m_paragraphsBefore || lineStart != m_lineStart)
        return QStringLiteral("the running totals are stale");
    if (length() > m_limits.capacity)
        return QStringLiteral("the text is past its capacity");
    if (std::any_of(m_marks.begin(), m_marks.end(),
                    [&](qsizetype mark) { return mark < -1 || mark > length(); }))
        return QStringLiteral("a mark is outside the text");
    return {};
}

qsizetype TextStore::chunkAt(qsizetype position) const
{
    const auto chunks = m_startOf.begin() + qsizetype(m_chunks.size());
    return std::upper_bound(m_startOf.begin(), chunks, position) - m_startOf.begin() - 1;
}

QChar TextStore::at(qsizetype position) const
{
    if (position < 0 || position >= length())
        return {};
    const qsizetype chunk = chunkAt(position);
    return m_chunks[chunk].unit(position - m_startOf[chunk]);
}

StoredText TextStore::stored() const
{
    return { this, &TextStore::pieceOf, m_startOf.data(), qsizetype(m_chunks.size()) };
}

QAnyStringView TextStore::pieceOf(const void *text, qsizetype index, qsizetype from, qsizetype to)
{
    const Chunk &c = static_cast<const TextStore *>(text)->m_chunks[index];
    if (c.wide())
        return QStringView(c.utf16.get() + from, to - from);
    return QLatin1StringView(reinterpret_cast<const char *>(c.latin1.get()) + from, to - from);
}

QString TextStore::text(qsizetype from, qsizetype to) const
{
    from = std::clamp<qsizetype>(from, 0, length());
    to = std::clamp<qsizetype>(to, from, length());
    QString result(to - from, Qt::Uninitialized);
    QChar *out = result.data();
    for (qsizetype chunk = from < to ? chunkAt(from) : 0; from < to; ++chunk) {
        const qsizetype start = m_startOf[chunk];
        const qsizetype end = std::min(to, m_startOf[chunk + 1]);
        m_chunks[chunk].copyTo(out, from - start, end - start);
        out += end - from;
        from = end;
    }
    return result;
}

TextStore::Walk TextStore::walkStarts(qsizetype chunk, qsizetype maxCount, qsizetype maxOffset,
                                      std::vector<qsizetype> *offsets) const
{
    const Chunk &c = m_chunks[chunk];
    const qsizetype paragraphUnits = m_limits.paragraphUnits;
    Walk walk;
    const auto take = [&](qsizetype offset) {
        if (walk.count == maxCount || offset > maxOffset)
            return false;
        ++walk.count;
        walk.lastOffset = offset;
        if (offsets)
            offsets->push_back(offset);
        return true;
    };
    // The cuts among units [from, to) of a line with `column` units before them.
    const auto cuts = [&](qsizetype from, qsizetype column, qsizetype to) {
        const qsizetype rest = column % paragraphUnits;
        qsizetype offset
                = from + (column == 0 ? paragraphUnits : (paragraphUnits - rest) % paragraphUnits);
        for (; offset < to; offset += paragraphUnits) {
            if (!take(offset))
                return false;
        }
        return true;
    };
    const auto lines = [&](const auto *units) {
        for (qsizetype i = c.firstSegment(); i < c.size;) {
            const qsizetype end
                    = i + (units[i] == cr && i + 1 < c.size && units[i + 1] == lf ? 2 : 1);
            if (!take(end))
                return;
            i = findBreak(units, end, c.size);
            if (!cuts(end, 0, i))
                return;
        }
    };
    if (!cuts(0, m_startOf[chunk] - m_lineStart[chunk], c.firstSegment()))
        return walk;
    if (c.wide())
        lines(c.utf16.get());
    else
        lines(c.latin1.get());
    return walk;
}

qsizetype TextStore::paragraphStart(qsizetype paragraph) const
{
    paragraph = std::clamp<qsizetype>(paragraph, 0, paragraphCount() - 1);
    if (paragraph == 0)
        return 0;
    // The chunk that holds the paragraph's start is the last one whose count
    // of earlier starts does not pass it.
    const auto chunks = m_paragraphsBefore.begin() + qsizetype(m_chunks.size());
    const qsizetype chunk = std::upper_bound(m_paragraphsBefore.begin(), chunks, paragraph)
                            - m_paragraphsBefore.begin() - 1;
    const qsizetype nth = paragraph - m_paragraphsBefore[chunk];
    return m_startOf[chunk] + startsIn(chunk)[nth];
}

const std::vector<qsizetype> &TextStore::startsIn(qsizetype chunk) const
{
    for (const Starts &starts : m_starts) {
        if (starts.chunk == chunk && starts.edits == m_edits)
            return starts.offsets;
    }
    Starts &starts = m_starts[m_startsNext];
    m_startsNext = 1 - m_startsNext;
    starts.chunk = chunk;
    starts.edits = m_edits;
    starts.offsets.clear();
    walkStarts(chunk, std::numeric_limits<qsizetype>::max(), std::numeric_limits<qsizetype>::max(),
               &starts.offsets);
    return starts.offsets;
}

TextStore::Paragraph TextStore::paragraph(qsizetype paragraph) const
{
    paragraph = std::clamp<qsizetype>(paragraph, 0, paragraphCount() - 1);
    Paragraph result;
    result.start = paragraphStart(paragraph);
    if (paragraph + 1 == paragraphCount()) {
        result.length = length() - result.start;
        return result;
    }
    const qsizetype next = paragraphStart(paragraph + 1);
    // What ends the paragraph is its break, or a cut when the unit before the
    // next start is no break.
    const char16_t last = at(next - 1).unicode();
    if (last == lf && next - 2 >= result.start && at(next - 2) == QChar(cr))
        result.breakLength = 2;
    else if (last == lf || last == cr)
        result.breakLength = 1;
    result.length = next - result.start - result.breakLength;
    return result;
}

qsizetype TextStore::paragraphAt(qsizetype position) const
{
    if (m_chunks.empty())
        return 0;
    position = std::clamp<qsizetype>(position, 0, length());
    const qsizetype chunk = chunkAt(position);
    const std::vector<qsizetype> &starts = startsIn(chunk);
    const auto count = std::upper_bound(starts.begin(), starts.end(), position - m_startOf[chunk])
                       - starts.begin();
    return m_paragraphsBefore[chunk] - 1 + count;
}

qsizetype TextStore::lineStart(qsizetype position) const
{
    if (m_chunks.empty())
        return 0;
    position = std::clamp<qsizetype>(position, 0, length());
    const qsizetype chunk = chunkAt(position);
    // Every line starts a paragraph: look among the chunk's starts, from the
    // position back, for one right after a break.
    const std::vector<qsizetype> &starts = startsIn(chunk);
    const qsizetype base = m_startOf[chunk];
    auto it = std::upper_bound(starts.begin(), starts.end(), position - base);
    while (it != starts.begin()) {
        const qsizetype start = base + *--it;
        const QChar before = at(start - 1);
        if (before == QChar(lf) || before == QChar(cr))
            return start;
    }
    return m_lineStart[chunk];
}

qsizetype TextStore::memoryBytes() const
{
    qsizetype bytes = sizeof(TextStore) + qsizetype(m_chunks.capacity() * sizeof(Chunk))
                      + qsizetype((m_startOf.capacity() + m_paragraphsBefore.capacity()
                                   + m_lineStart.capacity())
                                  * sizeof(qsizetype));
    for (const Chunk &chunk : m_chunks)
        bytes += chunk.bytes();
    bytes += qsizetype(m_aside.capacity() * sizeof(Chunk));
    for (const Chunk &chunk : m_aside)
        bytes += chunk.bytes();
    return bytes;
}

QByteArray TextStore::utf8(qsizetype from, qsizetype to) const
{
    return encodeUtf8([&](const auto &visit) {
        for (const QAnyStringView piece : stored().pieces(from, to))
            visit(piece);
    });
}

TextSnapshot TextStore::snapshot(qsizetype from, qsizetype to) const
{
    from = std::clamp<qsizetype>(from, 0, length());
    to = std::clamp<qsizetype>(to, from, length());
    std::vector<TextSnapshot::Piece> pieces;
    for (qsizetype chunk = from < to ? chunkAt(from) : 0; from < to; ++chunk) {
        const Chunk &c = m_chunks[chunk];
        const qsizetype start = m_startOf[chunk];
        const qsizetype end = std::min(to, m_startOf[chunk + 1]);
        pieces.push_back({ c.latin1, c.utf16, from - start, end - from });
        from = end;
    }
    return TextSnapshot(std::move(pieces));
}

TextStore::Mark TextStore::addMark(qsizetype position)
{
    position = std::clamp<qsizetype>(position, 0, length());
    const auto free = std::find(m_marks.begin(), m_marks.end(), -1);
    if (free != m_marks.end()) {
        *free = position;
        return Mark(free - m_marks.begin());
    }
    m_marks.push_back(position);
    return Mark(m_marks.size() - 1);
}

void TextStore::removeMark(Mark mark)
{
    if (mark >= 0 && mark < Mark(m_marks.size()))
        m_marks[mark] = -1;
}

void TextStore::setMark(Mark mark, qsizetype position)
{
    if (mark >= 0 && mark < Mark(m_marks.size()) && m_marks[mark] >= 0)
        m_marks[mark] = std::clamp<qsizetype>(position, 0, length());
}

void TextStore::moveMarks(qsizetype at, qsizetype removed, qsizetype inserted)
{
    for (qsizetype &mark : m_marks) {
        if (mark < at)
            continue;
        if (removed > 0)
            mark = mark > at + removed ? mark - removed : at;
        else
            mark += inserted;
    }
}
