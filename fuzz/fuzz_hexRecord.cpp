// Builds a hex record from the input, reads it back by the layout rules and
// checks that it names the same transport, count and bytes.
#include "text/hexRecord.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

[[noreturn]] void mismatch(const char *why, QStringView record, qsizetype at)
{
    std::fprintf(stderr,
                 "MODEL MISMATCH: %s at offset %lld of a %lld-character record\n"
                 "  around: \"%s\"\n",
                 why, static_cast<long long>(at), static_cast<long long>(record.size()),
                 qPrintable(record.mid(std::max<qsizetype>(0, at - 40), 80)
                                    .toString()
                                    .replace(QStringLiteral("\r"), QStringLiteral("\\r"))
                                    .replace(QStringLiteral("\n"), QStringLiteral("\\n"))));
    std::abort();
}

class Parser
{
public:
    explicit Parser(QStringView record)
        : m_record(record)
    { }

    void expect(QStringView literal, const char *why)
    {
        if (!m_record.sliced(m_at).startsWith(literal))
            fail(why);
        m_at += literal.size();
    }

    // One upper-case hex digit.
    int hexDigit()
    {
        if (m_at < m_record.size()) {
            const char16_t c = m_record[m_at].unicode();
            const int value = c >= u'0' && c <= u'9'   ? c - u'0'
                              : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                       : -1;
            if (value >= 0) {
                ++m_at;
                return value;
            }
        }
        return -1;
    }

    bool atEnd() const { return m_at == m_record.size(); }
    qsizetype at() const { return m_at; }
    [[noreturn]] void fail(const char *why) const { mismatch(why, m_record, m_at); }

private:
    QStringView m_record;
    qsizetype m_at = 0;
};

struct Record
{
    HexTransport transport;
    qsizetype count = 0;
    qsizetype headerWidth = 0;
    QByteArray bytes;
};

Record parseRecord(QStringView text)
{
    Record record;
    Parser parser(text);
    if (text.startsWith(u"UDP IN  ("))
        record.transport = HexTransport::Udp;
    else if (text.startsWith(u"TCP IN  ("))
        record.transport = HexTransport::Tcp;
    else
        parser.fail("no \"UDP IN  (\" or \"TCP IN  (\" header");
    parser.expect(text.first(9), "header");
    for (int i = 0; i < 4; ++i) {
        const int digit = parser.hexDigit();
        if (digit < 0)
            parser.fail("count has fewer than four digits");
        record.count = record.count * 16 + digit;
    }
    parser.expect(u") : ", "header end");
    record.headerWidth = parser.at();

    // Lines of cells; every line but the last holds 16; each ends in CR LF;
    // a continuation line starts with the header's width of spaces.
    const QString indent(record.headerWidth, u' ');
    int cellsOnLine = 0;
    for (;;) {
        const int high = parser.hexDigit();
        if (high < 0) {
            parser.expect(u"\r\n", "line end");
            if (parser.atEnd())
                break;
            if (cellsOnLine != 16)
                parser.fail("a line that is not the last holds fewer than 16 cells");
            parser.expect(indent, "continuation indent");
            cellsOnLine = 0;
            continue;
        }
        const int low = parser.hexDigit();
        if (low < 0)
            parser.fail("cell with one digit");
        parser.expect(u" ", "space after a cell");
        if (++cellsOnLine > 16)
            parser.fail("more than 16 cells on a line");
        record.bytes.append(char(high * 16 + low));
    }
    if (cellsOnLine == 0 && !record.bytes.isEmpty())
        parser.fail("empty last line");
    return record;
}

void check(HexTransport transport, const QByteArray &bytes)
{
    const QString text = buildHexRecord(transport, bytes);
    const Record record = parseRecord(text);
    if (record.transport != transport)
        mismatch("wrong transport in the header", text, 0);
    if (record.count != bytes.size())
        mismatch("header count differs from the number of bytes", text, 9);
    if (record.headerWidth != hexRecordHeaderWidth)
        mismatch("hexRecordHeaderWidth differs from the header", text, record.headerWidth);
    if (record.bytes != bytes) {
        qsizetype i = 0;
        while (i < bytes.size() && i < record.bytes.size() && bytes[i] == record.bytes[i])
            ++i;
        std::fprintf(stderr, "cells read back differ from the input at byte %lld\n",
                     static_cast<long long>(i));
        mismatch("cells differ from the input bytes", text, 0);
    }
}

} // namespace

// The first byte picks the transport, the rest are the record's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Records near the largest count are too slow to fuzz: check the boundary
    // once per run instead, the largest record and the first one refused.
    static const bool longRecordsChecked = [] {
        const QByteArray bytes
                = QByteArray("\x00\x7F\x80\xFF\x12\xAB", 6).repeated(0x10000 / 6 + 1);
        check(HexTransport::Tcp, bytes.first(maxHexRecordBytes));
        if (buildHexRecord(HexTransport::Udp, bytes.first(maxHexRecordBytes + 1)).isEmpty())
            return true;
        mismatch("a count past FFFF was not refused", QString(), 0);
    }();
    Q_UNUSED(longRecordsChecked);

    if (size == 0) {
        check(HexTransport::Udp, QByteArray());
        return 0;
    }
    // Longer inputs are cut to the largest record; the refusal past it is checked above.
    const auto count = std::min(static_cast<qsizetype>(size - 1), maxHexRecordBytes);
    check(data[0] & 1 ? HexTransport::Tcp : HexTransport::Udp,
          QByteArray(reinterpret_cast<const char *>(data) + 1, count));
    return 0;
}
