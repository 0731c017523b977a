#include "data/hexRecord.h"

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

    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0 && i % cellsPerLine == 0) {
            *p++ = u'\r';
            *p++ = u'\n';
            p = std::fill_n(p, indent, u' ');
        }
        *p++ = hexDigits[data[i] >> 4];
        *p++ = hexDigits[data[i] & 0xF];
        *p++ = u' ';
    }
    *p++ = u'\r';
    *p++ = u'\n';
    Q_ASSERT(p == reinterpret_cast<char16_t *>(out.data()) + out.size());
    return out;
}
