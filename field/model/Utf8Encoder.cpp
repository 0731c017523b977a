// The text in UTF-8 straight from the Latin-1 and UTF-16 pieces it is stored
// in, with no UTF-16 copy on the way: log text is mostly ASCII, so runs of it
// go out sixteen bytes at a time where SSE2 is there.
#include "field/model/Utf8Encoder.h"

#include <QChar>

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

} // namespace

void Utf8Encoder::piece(QAnyStringView piece)
{
    piece.visit([this](auto view) { take(view); });
}

void Utf8Encoder::finish()
{
    flushHigh();
}

void Utf8Encoder::take(QLatin1StringView piece)
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

void Utf8Encoder::take(QStringView piece)
{
    const char16_t *units = piece.utf16();
    const qsizetype count = piece.size();
    for (qsizetype i = 0; i < count; ++i) {
        if (m_high == 0 && units[i] < 0x80) {
            const qsizetype run = asciiRun(units + i, count - i, m_out ? m_out + m_size : nullptr);
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

void Utf8Encoder::take(QUtf8StringView piece)
{
    flushHigh();
    if (m_out)
        std::memcpy(m_out + m_size, piece.data(), piece.size());
    m_size += piece.size();
}

void Utf8Encoder::flushHigh()
{
    if (m_high != 0)
        code(QChar::ReplacementCharacter);
    m_high = 0;
}

void Utf8Encoder::code(char32_t c)
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
