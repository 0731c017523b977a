#include "text/StreamDecoder.h"

#include <QStringDecoder>
#include <QtEndian>

#include <cstring>

namespace {

// Number of bytes a UTF-8 sequence starting with `lead` must have, or 0 when
// the byte cannot start one.
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

// Whole UTF-16 units of either byte order; a surrogate without its partner is
// U+FFFD.
QString decodeUtf16(QByteArrayView bytes, bool littleEndian)
{
    const qsizetype units = bytes.size() / 2;
    QString text(units, Qt::Uninitialized);
    auto *out = reinterpret_cast<char16_t *>(text.data());
    if (littleEndian)
        qFromLittleEndian<char16_t>(bytes.data(), units, out);
    else
        qFromBigEndian<char16_t>(bytes.data(), units, out);
    for (qsizetype i = 0; i < units; ++i) {
        if (!QChar::isSurrogate(out[i]))
            continue;
        if (QChar::isHighSurrogate(out[i]) && i + 1 < units && QChar::isLowSurrogate(out[i + 1]))
            ++i;
        else
            out[i] = QChar::ReplacementCharacter;
    }
    return text;
}

qsizetype incompleteUtf16Tail(QByteArrayView bytes, bool littleEndian)
{
    const qsizetype odd = bytes.size() % 2;
    if (bytes.size() - odd < 2)
        return odd;
    const auto *last
            = reinterpret_cast<const unsigned char *>(bytes.data()) + bytes.size() - odd - 2;
    const char16_t unit
            = littleEndian ? char16_t(last[0] | last[1] << 8) : char16_t(last[0] << 8 | last[1]);
    // A high surrogate waits for its low one.
    return QChar::isHighSurrogate(unit) ? odd + 2 : odd;
}

bool inRange(unsigned char byte, unsigned char low, unsigned char high)
{
    return byte >= low && byte <= high;
}

} // namespace

bool isAscii(QByteArrayView bytes)
{
    const char *data = bytes.data();
    const qsizetype size = bytes.size();
    quint64 all = 0;
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word;
        std::memcpy(&word, data + i, sizeof word);
        all |= word;
    }
    for (; i < size; ++i)
        all |= static_cast<unsigned char>(data[i]);
    return (all & 0x8080808080808080) == 0;
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

namespace {

// How an encoding's characters begin: one byte each, or a lead byte and more.
enum class LeadBytes { None, ShiftJis, DoubleByte, Gb18030 };

LeadBytes leadBytesOf(const QByteArray &encoding)
{
    if (encoding == "Shift_JIS")
        return LeadBytes::ShiftJis;
    if (encoding == "GB18030")
        return LeadBytes::Gb18030;
    if (encoding == "Big5" || encoding == "EUC-KR")
        return LeadBytes::DoubleByte;
    return LeadBytes::None;
}

qsizetype characterLength(const unsigned char *in, qsizetype size, LeadBytes rules)
{
    const unsigned char lead = in[0];
    const bool isLead = rules == LeadBytes::ShiftJis
                                ? inRange(lead, 0x81, 0x9F) || inRange(lead, 0xE0, 0xFC)
                                : rules != LeadBytes::None && inRange(lead, 0x81, 0xFE);
    if (!isLead)
        return 1;
    if (size == 1)
        return 2;
    // Trail bytes never fall below 0x40: a lead before one stands alone, as
    // a byte that does not decode. Only GB18030's four-byte form has digits.
    const unsigned char second = in[1];
    if (rules != LeadBytes::Gb18030 || !inRange(second, 0x30, 0x39))
        return second < 0x40 ? 1 : 2;
    if (size == 2 || inRange(in[2], 0x81, 0xFE))
        return 4;
    return 2;
}

} // namespace

qsizetype multiByteCharacterLength(QByteArrayView bytes, const QByteArray &encoding)
{
    if (bytes.isEmpty())
        return 1;
    return characterLength(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
                           leadBytesOf(encoding));
}

qsizetype incompleteMultiByteTail(QByteArrayView bytes, const QByteArray &encoding)
{
    const LeadBytes rules = leadBytesOf(encoding);
    if (rules == LeadBytes::None)
        return 0;
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
    const qsizetype size = bytes.size();
    for (qsizetype at = 0; at < size;) {
        const qsizetype length = characterLength(in + at, size - at, rules);
        if (at + length > size)
            return size - at;
        at += length;
    }
    return 0;
}

StreamDecoder::StreamDecoder(const QByteArray &encoding)
    : m_encoding(encoding)
{
    if (encoding == "UTF-8")
        m_kind = Kind::Utf8;
    else if (encoding == "ISO-8859-1")
        m_kind = Kind::Latin1;
    else if (encoding == "UTF-16LE")
        m_kind = Kind::Utf16Le;
    else if (encoding == "UTF-16BE")
        m_kind = Kind::Utf16Be;
    else {
        m_kind = Kind::System;
        m_system = std::make_unique<SystemConverter>(encoding);
    }
}

StreamDecoder::StreamDecoder(StreamDecoder &&) noexcept = default;
StreamDecoder &StreamDecoder::operator=(StreamDecoder &&) noexcept = default;
StreamDecoder::~StreamDecoder() = default;

void StreamDecoder::reset()
{
    m_held.clear();
    m_stream = 0;
}

bool StreamDecoder::passesAsLatin1(QByteArrayView bytes) const
{
    switch (m_kind) {
    case Kind::Latin1:
        return true;
    case Kind::Utf16Le:
    case Kind::Utf16Be:
        return false;
    default:
        return m_held.isEmpty() && isAscii(bytes);
    }
}

qsizetype StreamDecoder::incompleteTail(QByteArrayView bytes) const
{
    switch (m_kind) {
    case Kind::Utf8:
        return incompleteUtf8Tail(bytes);
    case Kind::Latin1:
        return 0;
    case Kind::Utf16Le:
    case Kind::Utf16Be:
        return incompleteUtf16Tail(bytes, m_kind == Kind::Utf16Le);
    case Kind::System:
        break;
    }
    return incompleteMultiByteTail(bytes, m_encoding);
}

QString StreamDecoder::decodeWhole(QByteArrayView bytes)
{
    switch (m_kind) {
    case Kind::Utf8: {
        // A U+FEFF at the start is data: a read begins wherever it happens to.
        QStringDecoder decoder(QStringDecoder::Utf8,
                               QStringDecoder::Flag::Stateless
                                       | QStringDecoder::Flag::ConvertInitialBom);
        return decoder.decode(bytes);
    }
    case Kind::Latin1:
        return QString::fromLatin1(bytes);
    case Kind::Utf16Le:
    case Kind::Utf16Be:
        return decodeUtf16(bytes, m_kind == Kind::Utf16Le);
    case Kind::System:
        break;
    }
    return m_system->decode(bytes);
}

QString StreamDecoder::cutShort(QByteArrayView held)
{
    // UTF-8 as the toolkit reads the whole stream at once: a U+FFFD a byte.
    if (m_kind == Kind::Utf8)
        return decodeWhole(held);
    return QString(QChar::ReplacementCharacter);
}

QString StreamDecoder::decode(QByteArrayView bytes, quint64 stream, bool last)
{
    QString text;
    if (stream != m_stream && !m_held.isEmpty())
        text = cutShort(std::exchange(m_held, {}));
    m_stream = stream;
    last = last || stream == 0;
    QByteArray joined;
    if (!m_held.isEmpty()) {
        joined = std::exchange(m_held, {});
        joined.append(bytes);
        bytes = joined;
    }
    const qsizetype keep = incompleteTail(bytes);
    text += decodeWhole(bytes.first(bytes.size() - keep));
    if (keep > 0 && last)
        text += cutShort(bytes.last(keep));
    else
        m_held = bytes.last(keep).toByteArray();
    return text;
}
