// Feeds the input to a UTF-8 StreamDecoder in pieces cut where the fuzzer says
// and checks that the text equals decoding all the bytes at once.
#include "text/StreamDecoder.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

// All bytes in one go. A U+FEFF at the start is data: the stream may have
// begun anywhere, so it must not be dropped as a byte order mark.
QString oneShot(QByteArrayView bytes)
{
    // Stateless: an incomplete last character is replaced, not kept for more input.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless
                                                         | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

// Every proper prefix of the UTF-8 form of every scalar value: exactly the byte
// runs that more bytes could still turn into a character.
const std::set<std::string> &incompleteCharacters()
{
    static const std::set<std::string> prefixes = [] {
        std::set<std::string> all;
        for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            std::string bytes;
            if (c < 0x800) {
                bytes = { char(0xC0 | c >> 6), char(0x80 | (c & 0x3F)) };
            } else if (c < 0x10000) {
                bytes = { char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)),
                          char(0x80 | (c & 0x3F)) };
            } else {
                bytes = { char(0xF0 | c >> 18), char(0x80 | (c >> 12 & 0x3F)),
                          char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F)) };
            }
            for (size_t length = 1; length < bytes.size(); ++length)
                all.insert(bytes.substr(0, length));
        }
        return all;
    }();
    return prefixes;
}

// What the stream must hold back after `bytes`: their longest ending that is
// such an incomplete character.
QByteArray expectedCarry(QByteArrayView bytes)
{
    for (qsizetype length = std::min<qsizetype>(3, bytes.size()); length > 0; --length) {
        const QByteArrayView tail = bytes.last(length);
        if (incompleteCharacters().count(std::string(tail.data(), size_t(tail.size()))))
            return tail.toByteArray();
    }
    return {};
}

QByteArray codeUnits(const QString &text)
{
    QByteArray hex;
    for (QChar c : text)
        hex += QByteArray::number(c.unicode(), 16).rightJustified(4, '0') + ' ';
    return hex;
}

[[noreturn]] void mismatch(const char *why, const QByteArray &bytes,
                           const std::vector<qsizetype> &cuts)
{
    std::fprintf(stderr, "MODEL MISMATCH: %s\n  bytes: %s\n  cuts:", why,
                 bytes.toHex(' ').constData());
    for (qsizetype cut : cuts)
        std::fprintf(stderr, " %lld", static_cast<long long>(cut));
    std::fprintf(stderr, "\n");
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The cut points come from the end of the input, the bytes from the rest.
    FuzzedDataProvider provider(data, size);
    std::vector<uint16_t> rawCuts(provider.ConsumeIntegralInRange<size_t>(0, 12));
    for (uint16_t &cut : rawCuts)
        cut = provider.ConsumeIntegral<uint16_t>();
    const std::vector<uint8_t> remaining = provider.ConsumeRemainingBytes<uint8_t>();
    const QByteArray bytes(reinterpret_cast<const char *>(remaining.data()),
                           static_cast<qsizetype>(remaining.size()));

    std::vector<qsizetype> cuts;
    for (uint16_t cut : rawCuts)
        cuts.push_back(cut % (bytes.size() + 1));
    cuts.push_back(bytes.size());
    std::sort(cuts.begin(), cuts.end());

    StreamDecoder decoder;
    QByteArray carry;
    QString streamed;
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        streamed += decoder.decode(QByteArrayView(bytes).sliced(from, cut - from), 1, false);
        carry = decoder.held();
        from = cut;
        if (carry.size() > 3)
            mismatch("more than 3 bytes carried", bytes, cuts);
        // Holding back too little garbles a character; holding back invalid bytes delays
        // them for no reason.
        if (carry != expectedCarry(QByteArrayView(bytes).first(cut)))
            mismatch("carry is not the incomplete character the bytes so far end with", bytes,
                     cuts);
    }
    // At the end of the stream a still incomplete character is decoded as it is.
    streamed += decoder.decode({}, 1, true);

    const QString whole = oneShot(bytes);
    if (streamed != whole) {
        std::fprintf(stderr, "  streamed: %s\n  one shot: %s\n", codeUnits(streamed).constData(),
                     codeUnits(whole).constData());
        mismatch("streamed text differs from decoding all bytes at once", bytes, cuts);
    }
    return 0;
}
