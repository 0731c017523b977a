// The text in UTF-8 for other programs: straight from the Latin-1 and UTF-16
// chunks, with no UTF-16 copy of the whole on the way, so a copy of a full log
// costs one pass to size it, one to write it and the UTF-8 bytes themselves.
#include "field/TextStore.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Units below U+0080 from the start of a Latin-1 piece, sixteen bytes at a
// time where SSE2 is there: log text is mostly ASCII.
qsizetype asciiRun(const uchar *bytes, qsizetype count)
{
    qsizetype i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= count; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + i));
        if (_mm_movemask_epi8(block) != 0)
            break;
    }
#endif
    while (i < count && bytes[i] < 0x80)
        ++i;
    return i;
}

// Units below U+0080 from the start of a UTF-16 piece, written out as bytes
// (when `out` is not null) eight at a time where SSE2 is there.
qsizetype asciiRun(const char16_t *units, qsizetype count, char *out)
{
    qsizetype i = 0;
#if defined(__SSE2__)
    const __m128i high = _mm_set1_epi16(short(0xFF80));
    for (; i + 8 <= count; i += 8) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(block, high), _mm_setzero_si128()))
            != 0xFFFF)
            break;
        if (out)
            _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), _mm_packus_epi16(block, block));
    }
#endif
    for (; i < count && units[i] < 0x80; ++i) {
        if (out)
            out[i] = char(units[i]);
    }
    return i;
}

// Counts the UTF-8 bytes of the pieces it is given (out == nullptr) or writes
// them. A high surrogate at the end of one piece waits for the next: chunks
// are cut anywhere, also inside a pair.
class Utf8Writer
{
public:
    explicit Utf8Writer(char *out)
        : m_out(out)
    { }

    qsizetype size() const { return m_size; }

    void piece(QAnyStringView piece)
    {
        piece.visit([this](auto view) { take(view); });
    }

    void finish() { flushHigh(); }

private:
    void take(QLatin1StringView piece)
    {
        flushHigh();
        const auto *bytes = reinterpret_cast<const uchar *>(piece.data());
        const qsizetype count = piece.size();
        for (qsizetype i = 0; i < count;) {
            const qsizetype run = asciiRun(bytes + i, count - i);
            if (m_out)
                std::memcpy(m_out + m_size, bytes + i, run);
            m_size += run;
            for (i += run; i < count && bytes[i] >= 0x80; ++i)
                code(bytes[i]);
        }
    }

    void take(QStringView piece)
    {
        const char16_t *units = piece.utf16();
        const qsizetype count = piece.size();
        for (qsizetype i = 0; i < count; ++i) {
            if (m_high == 0 && units[i] < 0x80) {
                const qsizetype run
                        = asciiRun(units + i, count - i, m_out ? m_out + m_size : nullptr);
                m_size += run;
                i += run;
                if (i == count)
                    break;
            }
            const char16_t unit = units[i];
            if (m_high != 0) {
                if (QChar::isLowSurrogate(unit)) {
                    code(QChar::surrogateToUcs4(m_high, unit));
                    m_high = 0;
                    continue;
                }
                flushHigh();
            }
            if (QChar::isHighSurrogate(unit))
                m_high = unit;
            else
                code(QChar::isLowSurrogate(unit) ? char32_t(QChar::ReplacementCharacter)
                                                 : char32_t(unit));
        }
    }

    // The store never hands out UTF-8; taken as it is all the same.
    void take(QUtf8StringView piece)
    {
        flushHigh();
        if (m_out)
            std::memcpy(m_out + m_size, piece.data(), piece.size());
        m_size += piece.size();
    }

    void flushHigh()
    {
        if (m_high != 0)
            code(QChar::ReplacementCharacter);
        m_high = 0;
    }

    void code(char32_t c)
    {
        char bytes[4];
        int n = 0;
        if (c < 0x80) {
            bytes[n++] = char(c);
        } else if (c < 0x800) {
            bytes[n++] = char(0xC0 | (c >> 6));
            bytes[n++] = char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes[n++] = char(0xE0 | (c >> 12));
            bytes[n++] = char(0x80 | ((c >> 6) & 0x3F));
            bytes[n++] = char(0x80 | (c & 0x3F));
        } else {
            bytes[n++] = char(0xF0 | (c >> 18));
            bytes[n++] = char(0x80 | ((c >> 12) & 0x3F));
            bytes[n++] = char(0x80 | ((c >> 6) & 0x3F));
            bytes[n++] = char(0x80 | (c & 0x3F));
        }
        if (m_out)
            std::memcpy(m_out + m_size, bytes, n);
        m_size += n;
    }

    char *m_out;
    qsizetype m_size = 0;
    char16_t m_high = 0;
};

} // namespace

QByteArray TextStore::utf8(qsizetype from, qsizetype to) const
{
    // Sized first, so the bytes are written once into memory of their size.
    Utf8Writer counter(nullptr);
    forEachPiece(from, to, [&](QAnyStringView piece) { counter.piece(piece); });
    counter.finish();
    QByteArray result(counter.size(), Qt::Uninitialized);
    Utf8Writer writer(result.data());
    forEachPiece(from, to, [&](QAnyStringView piece) { writer.piece(piece); });
    writer.finish();
    Q_ASSERT(writer.size() == result.size());
    return result;
}
