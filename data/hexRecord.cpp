#include "data/hexRecord.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr char16_t hexDigits[] = u"0123456789ABCDEF";
constexpr qsizetype cellsPerLine = 16;

int countDigits(qsizetype count)
{
    int digits = 4;
    for (qsizetype rest = count >> 16; rest > 0; rest >>= 4)
        ++digits;
    return digits;
}

} // namespace

qsizetype hexRecordHeaderWidth(qsizetype count)
{
    // "UDP IN  (" + digits + ") : "
    return 9 + countDigits(count) + 4;
}

QString buildHexRecord(HexTransport transport, QByteArrayView bytes)
{
    const qsizetype n = bytes.size();
    const int digits = countDigits(n);
    const qsizetype indent = hexRecordHeaderWidth(n);
    const qsizetype lines = n == 0 ? 1 : (n + cellsPerLine - 1) / cellsPerLine;

    QString out(3 * n + (indent + 2) * lines, Qt::Uninitialized);
    char16_t *p = reinterpret_cast<char16_t *>(out.data());

    for (char16_t c : transport == HexTransport::Udp ? u"UDP IN  (" : u"TCP IN  (")
        if (c)
            *p++ = c;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        *p++ = hexDigits[(n >> shift) & 0xF];
    for (char16_t c : u") : ")
        if (c)
            *p++ = c;

    // A whole cell per table entry, stored 8 bytes at a time: the fourth
    // character of each store is overwritten by the next cell, or by the CR
    // that ends every line.
    static constexpr auto cells = [] {
        std::array<std::array<char16_t, 4>, 256> table {};
        for (int b = 0; b < 256; ++b)
            table[b] = { hexDigits[b >> 4], hexDigits[b & 0xF], u' ', u' ' };
        return table;
    }();
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    for (qsizetype start = 0; start < n; start += cellsPerLine) {
        if (start > 0) {
            *p++ = u'\r';
            *p++ = u'\n';
            p = std::fill_n(p, indent, u' ');
        }
        const qsizetype end = std::min(start + cellsPerLine, n);
        for (qsizetype i = start; i < end; ++i) {
            std::memcpy(p, cells[data[i]].data(), sizeof(cells[0]));
            p += 3;
        }
    }
    *p++ = u'\r';
    *p++ = u'\n';
    Q_ASSERT(p == reinterpret_cast<char16_t *>(out.data()) + out.size());
    return out;
}
