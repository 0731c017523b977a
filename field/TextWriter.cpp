#include "field/TextWriter.h"

#include "field/TextStore.h"

#include <QIODevice>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// What a lone surrogate becomes: U+FFFD.
constexpr char replacement[] = "\xEF\xBF\xBD";

char *put(char *out, char32_t c)
{
    if (c < 0x80) {
        *out++ = char(c);
    } else if (c < 0x800) {
        *out++ = char(0xC0 | (c >> 6));
        *out++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = char(0xE0 | (c >> 12));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    } else {
        *out++ = char(0xF0 | (c >> 18));
        *out++ = char(0x80 | ((c >> 12) & 0x3F));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    }
    return out;
}

// Log text is mostly ASCII: sixteen bytes at a time go out as they are where
// SSE2 is there, and only a block with a byte above 0x7F is widened.
char *encodeLatin1(const uchar *in, qsizetype count, char *out)
{
    qsizetype i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= count; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        if (_mm_movemask_epi8(block) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), block);
            out += 16;
            continue;
        }
        for (qsizetype j = i; j < i + 16; ++j)
            out = put(out, in[j]);
    }
#endif
    for (; i < count; ++i)
        out = put(out, in[i]);
    return out;
}

// Encodes `count` units; `next` is the unit after them (0 when none follows),
// which a high surrogate at the end takes as its pair. Sets `taken` to the
// units used: count, or one more when the pair took `next`.
char *encodeUtf16(const char16_t *in, qsizetype count, char16_t next, qsizetype &taken, char *out)
{
    taken = count;
    for (qsizetype i = 0; i < count; ++i) {
        const char16_t unit = in[i];
        if (unit < 0x80) {
            *out++ = char(unit);
            continue;
        }
        if (!QChar::isSurrogate(unit)) {
            out = put(out, unit);
            continue;
        }
        const char16_t low = i + 1 < count ? in[i + 1] : next;
        if (QChar::isHighSurrogate(unit) && QChar::isLowSurrogate(low)) {
            out = put(out, QChar::surrogateToUcs4(unit, low));
            if (++i == count)
                taken = count + 1;
            continue;
        }
        out = std::copy_n(replacement, 3, out);
    }
    return out;
}

} // namespace

TextWriter::TextWriter(const TextStore &text, qsizetype end, QIODevice &out)
    : m_text(text)
    , m_out(out)
    , m_end(std::clamp<qsizetype>(end, 0, text.length()))
{ }

TextWriter::~TextWriter() = default;

bool TextWriter::writeSlice(qsizetype units)
{
    if (!m_error.isEmpty())
        return false;
    units = std::max<qsizetype>(units, 1);
    // Three bytes a unit at most, four for a pair that takes one unit more.
    const qsizetype needed = 3 * units + 4;
    if (needed > m_bufferSize) {
        m_buffer = std::make_unique_for_overwrite<char[]>(needed);
        m_bufferSize = needed;
    }
    char *out = m_buffer.get();
    const qsizetype stop = std::min(m_end, m_done + units);
    qsizetype at = m_done;
    while (at < stop) {
        const TextStore::Stored stored = m_text.storedFrom(at);
        if (!stored.latin1.isEmpty()) {
            const qsizetype count = std::min(stored.latin1.size(), stop - at);
            out = encodeLatin1(reinterpret_cast<const uchar *>(stored.latin1.data()), count, out);
            at += count;
        } else if (!stored.utf16.isEmpty()) {
            const qsizetype count = std::min(stored.utf16.size(), stop - at);
            const char16_t next = at + count < m_end ? m_text.at(at + count).unicode() : 0;
            qsizetype taken = 0;
            out = encodeUtf16(stored.utf16.utf16(), count, next, taken, out);
            at += taken;
        } else {
            m_error = QStringLiteral("the text was shortened while it was being written");
            return false;
        }
    }
    const qint64 size = out - m_buffer.get();
    // A file system that fills up takes part of a write, and only the next
    // write says why.
    for (qint64 offset = 0; offset < size;) {
        const qint64 written = m_out.write(m_buffer.get() + offset, size - offset);
        if (written <= 0) {
            m_error = m_out.errorString();
            if (m_error.isEmpty() || m_error == QLatin1String("Unknown error"))
                m_error = QStringLiteral("the file took no more bytes");
            return false;
        }
        offset += written;
    }
    m_done = at;
    m_bytes += size;
    return true;
}
