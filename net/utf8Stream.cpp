#include "net/utf8Stream.h"

#include <QStringDecoder>

namespace {

// Number of bytes a sequence starting with `lead` must have, or 0 when the
// byte cannot start a sequence.
int sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Whether `second` may follow `lead` (the ranges that rule out overlong forms,
// surrogates and values past U+10FFFF).
bool validSecond(unsigned char lead, unsigned char second)
{
    switch (lead) {
    case 0xE0:
        return second >= 0xA0 && second <= 0xBF;
    case 0xED:
        return second >= 0x80 && second <= 0x9F;
    case 0xF0:
        return second >= 0x90 && second <= 0xBF;
    case 0xF4:
        return second >= 0x80 && second <= 0x8F;
    default:
        return second >= 0x80 && second <= 0xBF;
    }
}

} // namespace

QString decodeWhole(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless
                                                         | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

qsizetype incompleteUtf8Tail(QByteArrayView bytes)
{
    const qsizetype n = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= n; ++back) {
        const auto lead = static_cast<unsigned char>(bytes[n - back]);
        if (lead >= 0x80 && lead < 0xC0)
            continue; // a continuation byte: look further back for its lead
        const int need = sequenceLength(lead);
        if (need <= back)
            return 0; // complete, or not a lead at all
        if (back >= 2 && !validSecond(lead, static_cast<unsigned char>(bytes[n - back + 1])))
            return 0;
        return back;
    }
    return 0;
}

QString decodeUtf8Stream(QByteArray &carry, QByteArrayView input)
{
    if (carry.isEmpty()) {
        const qsizetype keep = incompleteUtf8Tail(input);
        QString text = decodeWhole(input.first(input.size() - keep));
        carry = input.last(keep).toByteArray();
        return text;
    }
    QByteArray joined = carry;
    joined.append(input);
    const qsizetype keep = incompleteUtf8Tail(joined);
    QString text = decodeWhole(QByteArrayView(joined).first(joined.size() - keep));
    carry = joined.last(keep);
    return text;
}
