// Checks bytesFromHex against a reference reader written from the rules of hex
// text, one character at a time, on a text cut into pieces as the field's
// store cuts it.
#include "text/hexText.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

bool isSeparator(QChar c)
{
    return QStringView(u" \t,\r\n").contains(c);
}

HexBytes model(QStringView text)
{
    HexBytes read;
    qsizetype line = 1, lineStart = 0, i = 0;
    const auto fail = [&](HexFault::Kind kind, qsizetype at) {
        return HexBytes { {}, HexFault { kind, at, line, at - lineStart + 1 } };
    };
    while (i < text.size()) {
        if (text[i] == u'\r' || text[i] == u'\n') {
            i += text.sliced(i).startsWith(u"\r\n") ? 2 : 1;
            ++line;
            lineStart = i;
        } else if (isSeparator(text[i])) {
            ++i;
        } else {
            const qsizetype start = i;
            if (text.sliced(i).startsWith(u"0x", Qt::CaseInsensitive))
                i += 2;
            for (const qsizetype end = i + 2; i < end; ++i) {
                if (i == text.size() || isSeparator(text[i]))
                    return fail(HexFault::ShortByte, start);
                if (text[i].unicode() > 0x7f || !isxdigit(text[i].unicode()))
                    return fail(HexFault::NotHex, i);
            }
            read.bytes += QByteArray::fromHex(text.sliced(i - 2, 2).toLatin1());
        }
    }
    return read;
}

} // namespace

// The first byte cuts the text in two places; with its top bit set the rest
// is read as UTF-8 (other scripts), otherwise as Latin-1.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const auto *rest = reinterpret_cast<const char *>(data + 2);
    const QString text = data[0] & 0x80 ? QString::fromUtf8(rest, qsizetype(size - 2))
                                        : QString::fromLatin1(rest, qsizetype(size - 2));
    const qsizetype first = std::min<qsizetype>(data[0] & 0x7f, text.size());
    const qsizetype second = std::min<qsizetype>(first + data[1], text.size());
    const QByteArray narrow = text.toLatin1(); // as the store keeps a chunk it fits in
    const auto piece = [&](qsizetype from, qsizetype to) {
        const QStringView units = QStringView(text).sliced(from, to - from);
        return std::all_of(units.begin(), units.end(), [](QChar c) { return c.unicode() <= 0xff; })
                       ? QAnyStringView(QLatin1StringView(narrow).sliced(from, to - from))
                       : QAnyStringView(units);
    };
    const QAnyStringView pieces[]
            = { piece(0, first), piece(first, second), piece(second, text.size()) };
    const HexBytes expected = model(text);
    const HexBytes actual = bytesFromHex(pieces);
    const auto shown = [](const HexBytes &read) {
        return read.fault ? read.fault->text()
                                    + QStringLiteral(" (position %1)").arg(read.fault->position)
                          : QString::fromLatin1(read.bytes.toHex(' '));
    };
    if (shown(actual) != shown(expected)) {
        std::fprintf(stderr, "MODEL MISMATCH for text %s\n  program %s\n  model   %s\n",
                     text.toUtf8().toHex(' ').constData(), qPrintable(shown(actual)),
                     qPrintable(shown(expected)));
        std::abort();
    }
    return 0;
}
