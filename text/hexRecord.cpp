#include "text/hexRecord.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define TARVIK_HEX_SSSE3 1
#endif

namespace {

constexpr char16_t hexDigits[] = u"0123456789ABCDEF";
constexpr qsizetype cellsPerLine = 16;

qsizetype recordLength(qsizetype n)
{
    const qsizetype lines = n == 0 ? 1 : (n + cellsPerLine - 1) / cellsPerLine;
    return 3 * n + (hexRecordHeaderWidth + 2) * lines;
}

#if defined(TARVIK_HEX_SSSE3)
// Sixteen bytes as 48 characters of cells with one shuffle per half of each
// 16-character store: a line of a fast stream costs a few instructions, not
// a table look-up per byte.
__attribute__((target("ssse3"))) void writeLineSsse3(unsigned char *p, const unsigned char *data)
{
    const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B',
                                         'C', 'D', 'E', 'F');
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data));
    const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(in, 4), nibble));
    const __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(in, nibble));
    // Character j of the line is cell j / 3's high digit, low digit or space
    // as j % 3 is 0, 1 or 2; -1 picks nothing.
    static constexpr auto masks = [] {
        std::array<std::array<std::array<char, 16>, 3>, 3> m {}; // [store][high, low, space][lane]
        for (int j = 0; j < 48; ++j) {
            const int store = j / 16, lane = j % 16, cell = j / 3, part = j % 3;
            for (int kind = 0; kind < 3; ++kind)
                m[store][kind][lane]
                        = char(kind == 2 ? (part == 2 ? ' ' : 0) : (part == kind ? cell : -1));
        }
        return m;
    }();
    for (int store = 0; store < 3; ++store) {
        const auto &m = masks[size_t(store)];
        const __m128i cells = _mm_or_si128(
                _mm_or_si128(
                        _mm_shuffle_epi8(high, _mm_loadu_si128(reinterpret_cast<const __m128i *>(
                                                       m[0].data()))),
                        _mm_shuffle_epi8(low, _mm_loadu_si128(reinterpret_cast<const __m128i *>(
                                                      m[1].data())))),
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(m[2].data())));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p + qsizetype(16) * store), cells);
    }
}

bool hasSsse3()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return has;
}
#endif

// Writes the record of `bytes` to `p`, recordLength() Latin-1 characters.
void writeRecord(unsigned char *p, HexTransport transport, QByteArrayView bytes)
{
    using Unit = unsigned char;
    [[maybe_unused]] Unit *const begin = p;
    const qsizetype n = bytes.size();

    for (char16_t c : transport == HexTransport::Udp ? u"UDP IN  (" : u"TCP IN  (")
        if (c)
            *p++ = Unit(c);
    for (int shift = 12; shift >= 0; shift -= 4)
        *p++ = Unit(hexDigits[(n >> shift) & 0xF]);
    for (char16_t c : u") : ")
        if (c)
            *p++ = Unit(c);

    // A whole cell per table entry, stored 4 units at a time: the fourth
    // unit of each store is overwritten by the next cell, or by the CR that
    // ends every line.
    static constexpr auto cells = [] {
        std::array<std::array<Unit, 4>, 256> table {};
        for (int b = 0; b < 256; ++b)
            table[b] = { Unit(hexDigits[b >> 4]), Unit(hexDigits[b & 0xF]), Unit(' '), Unit(' ') };
        return table;
    }();
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
#if defined(TARVIK_HEX_SSSE3)
    const bool whole = hasSsse3();
#endif
    for (qsizetype start = 0; start < n; start += cellsPerLine) {
        if (start > 0) {
            *p++ = Unit('\r');
            *p++ = Unit('\n');
            p = std::fill_n(p, hexRecordHeaderWidth, Unit(' '));
        }
        const qsizetype end = std::min(start + cellsPerLine, n);
#if defined(TARVIK_HEX_SSSE3)
        if (whole && end - start == cellsPerLine) {
            writeLineSsse3(p, data + start);
            p += 3 * cellsPerLine;
            continue;
        }
#endif
        for (qsizetype i = start; i < end; ++i) {
            std::memcpy(p, cells[data[i]].data(), sizeof(cells[0]));
            p += 3;
        }
    }
    *p++ = Unit('\r');
    *p++ = Unit('\n');
    Q_ASSERT(p == begin + recordLength(n));
}

} // namespace

QString buildHexRecord(HexTransport transport, QByteArrayView bytes)
{
    QByteArray record;
    if (!buildHexRecordLatin1(transport, bytes, record))
        return QString();
    return QString::fromLatin1(record);
}

bool buildHexRecordLatin1(HexTransport transport, QByteArrayView bytes, QByteArray &out)
{
    if (bytes.size() > maxHexRecordBytes)
        return false;
    out.resize(recordLength(bytes.size()));
    writeRecord(reinterpret_cast<unsigned char *>(out.data()), transport, bytes);
    return true;
}
