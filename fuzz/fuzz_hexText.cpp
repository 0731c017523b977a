// Checks bytesFromHex against a reference reader written from the rules of hex
// text, one character at a time, with the text whole and cut into two or three
// pieces as the field's store cuts it.
#include "text/hexText.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool isDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

int valueOf(char16_t c)
{
    return c <= u'9' ? c - u'0' : (c | 0x20) - u'a' + 10;
}

bool isSeparator(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u',' || c == u'\n' || c == u'\r';
}

HexBytes model(QStringView text)
{
    HexBytes result;
    const qsizetype n = text.size();
    qsizetype line = 1;
    qsizetype lineStart = 0;
    const auto fail = [&](HexFault::Kind kind, qsizetype at) {
        return HexBytes { QByteArray(), HexFault { kind, at, line, at - lineStart + 1 } };
    };
    qsizetype i = 0;
    while (i < n) {
        const char16_t c = text[i].unicode();
        if (c == u'\r' || c == u'\n') {
            ++line;
            i += c == u'\r' && i + 1 < n && text[i + 1] == u'\n' ? 2 : 1;
            lineStart = i;
            continue;
        }
        if (isSeparator(c)) {
            ++i;
            continue;
        }
        const qsizetype start = i;
        if (c == u'0' && i + 1 < n && (text[i + 1] == u'x' || text[i + 1] == u'X'))
            i += 2;
        for (int digit = 0; digit < 2; ++digit, ++i) {
            if (i == n || isSeparator(text[i].unicode()))
                return fail(HexFault::ShortByte, start);
            if (!isDigit(text[i].unicode()))
                return fail(HexFault::NotHex, i);
        }
        result.bytes.append(
                char(valueOf(text[i - 2].unicode()) * 16 + valueOf(text[i - 1].unicode())));
    }
    return result;
}

std::string describe(const HexBytes &read)
{
    if (!read.fault)
        return read.bytes.toHex(' ').toStdString();
    return read.fault->text().toStdString() + " (position " + std::to_string(read.fault->position)
           + ")";
}

void check(QStringView text, const HexBytes &expected, const HexBytes &actual, const char *how)
{
    const bool same = expected.bytes == actual.bytes && bool(expected.fault) == bool(actual.fault)
                      && (!expected.fault
                          || (expected.fault->kind == actual.fault->kind
                              && expected.fault->position == actual.fault->position
                              && expected.fault->line == actual.fault->line
                              && expected.fault->column == actual.fault->column));
    if (same)
        return;
    std::fprintf(stderr, "MODEL MISMATCH (%s) for text \"%s\"\n  program %s\n  model   %s\n", how,
                 text.toUtf8().toHex(' ').constData(), describe(actual).c_str(),
                 describe(expected).c_str());
    std::abort();
}

// A piece as the store keeps it: Latin-1 when every unit fits.
QAnyStringView stored(QStringView text, std::vector<QByteArray> &latin1)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return text;
    }
    latin1.push_back(text.toLatin1());
    return QLatin1StringView(latin1.back());
}

} // namespace

// The first two bytes choose the cuts; a set top bit of the first reads the
// rest as UTF-8 (other scripts), otherwise as Latin-1.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const auto *rest = reinterpret_cast<const char *>(data + 2);
    const auto length = qsizetype(size - 2);
    const QString owned
            = data[0] & 0x80 ? QString::fromUtf8(rest, length) : QString::fromLatin1(rest, length);
    const QStringView text(owned);
    const HexBytes expected = model(text);
    check(text, expected, bytesFromHex(text), "whole");

    const qsizetype first = text.isEmpty() ? 0 : (data[0] & 0x7f) % (text.size() + 1);
    const qsizetype second
            = first + (text.size() == first ? 0 : data[1] % (text.size() - first + 1));
    std::vector<QByteArray> latin1;
    latin1.reserve(3);
    const QAnyStringView pieces[] = { stored(text.first(first), latin1),
                                      stored(text.sliced(first, second - first), latin1),
                                      stored(text.sliced(second), latin1) };
    check(text, expected, bytesFromHex(pieces), "in pieces");
    return 0;
}
