#include "text/hexRecord.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr char16_t hexDigits[] = u"0123456789ABCDEF";
constexpr qsizetype cellsPerLine = 16;

qsizetype recordLength(qsizetype n)
{
    const qsizetype lines = n == 0 ? 1 : (n + cellsPerLine - 1) / cellsPerLine;
    return 3 * n + (hexRecordHeaderWidth + 2) * lines;
}

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
    for (qsizetype start = 0; start < n; start += cellsPerLine) {
        if (start > 0) {
            *p++ = Unit('\r');
            *p++ = Unit('\n');
            p = std::fill_n(p, hexRecordHeaderWidth, Unit(' '));
        }
        const qsizetype end = std::min(start + cellsPerLine, n);
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
