#include "text/hexText.h"
#include "text/lineColumn.h"

#include <array>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// What a character is to hex text: a digit's value (0 to 15) or one of these.
enum : quint8 { Separator = 16, LetterX = 17, Other = 18 };

constexpr std::array<quint8, 256> classes = [] {
    std::array<quint8, 256> table {};
    table.fill(Other);
    for (int c = '0'; c <= '9'; ++c)
        table[c] = quint8(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        table[c] = quint8(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        table[c] = quint8(c - 'A' + 10);
    for (const char c : { ' ', '\t', ',', '\n', '\r' })
        table[quint8(c)] = Separator;
    table['x'] = table['X'] = LetterX;
    return table;
}();

template<typename Char>
unsigned classOf(Char c)
{
    const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    if constexpr (sizeof(Char) == 1)
        return classes[unit];
    else
        return unit < 256 ? unsigned(classes[unit]) : unsigned(Other);
}

#if defined(__SSE2__)
// Sixteen Latin-1 characters at once, for the two layouts a long hex text
// nearly always has: digits packed with nothing between (8 bytes), or bytes
// each followed by one separator (the first 15 characters, 5 bytes). Gives
// the characters used, or 0 for any other layout, which the caller reads one
// character at a time.
int readBlock(const char *p, char *out)
{
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const auto inRange = [](__m128i v, char low, char high) {
        return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(char(low - 1))),
                             _mm_cmplt_epi8(v, _mm_set1_epi8(char(high + 1))));
    };
    // Latin-1 letters are negative as signed bytes and fall in no range.
    const __m128i decimal = inRange(chars, '0', '9');
    const __m128i letter = inRange(_mm_or_si128(chars, _mm_set1_epi8(0x20)), 'a', 'f');
    const int digits = _mm_movemask_epi8(_mm_or_si128(decimal, letter));
    const auto is = [&](char c) { return _mm_cmpeq_epi8(chars, _mm_set1_epi8(c)); };
    const int separators = _mm_movemask_epi8(_mm_or_si128(
            _mm_or_si128(_mm_or_si128(is(' '), is(',')), _mm_or_si128(is('\t'), is('\n'))),
            is('\r')));
    constexpr int pairDigits = 0x36DB; // 11 011 011 011 011: two digits, a separator, ...
    constexpr int pairSeparators = 0x4924;
    const bool packed = digits == 0xFFFF;
    if (!packed && ((digits & 0x7FFF) != pairDigits || (separators & 0x7FFF) != pairSeparators))
        return 0;

    const __m128i nibbles = _mm_add_epi8(_mm_and_si128(chars, _mm_set1_epi8(0x0F)),
                                         _mm_and_si128(letter, _mm_set1_epi8(9)));
    if (packed) {
        // Each 16-bit lane holds a byte's two digits, the first one low.
        const __m128i high = _mm_and_si128(_mm_slli_epi16(nibbles, 4), _mm_set1_epi16(0x00F0));
        const __m128i bytes = _mm_or_si128(high, _mm_srli_epi16(nibbles, 8));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(bytes, bytes));
        return 16;
    }
    // Lane i: digit i as the high half, digit i + 1 as the low one.
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes),
                    _mm_or_si128(_mm_slli_epi16(nibbles, 4), _mm_srli_si128(nibbles, 1)));
    for (qsizetype i = 0; i < 5; ++i)
        out[i] = char(lanes[3 * i]);
    return 15;
}
#endif

// Reads the text piece by piece, keeping what a byte split between two pieces
// needs, and stops at the first fault.
class Reader
{
public:
    explicit Reader(qsizetype units)
        : m_bytes(units / 2, Qt::Uninitialized)
    {
        m_out = m_bytes.data();
    }

    template<typename Char>
    bool read(const Char *p, const Char *end);
    bool finish();
    HexBytes result();

private:
    enum class State { Between, High, Prefix };

    bool fail(HexFault::Kind kind, qsizetype position)
    {
        m_fault = HexFault { kind, position, 1, 1 };
        return false;
    }

    QByteArray m_bytes; // at most a byte per two units of text
    char *m_out = nullptr;
    qsizetype m_offset = 0; // units read in earlier pieces
    State m_state = State::Between;
    unsigned m_high = 0;       // the first digit of the byte being read
    bool m_zero = false;       // that digit is a 0 that may begin 0x
    qsizetype m_byteStart = 0; // where that byte, its 0x included, began
    std::optional<HexFault> m_fault;
};

template<typename Char>
bool Reader::read(const Char *p, const Char *end)
{
    const Char *const begin = p;
    char *out = m_out;
    const auto at = [&](const Char *unit) { return m_offset + (unit - begin); };
    const auto stop = [&](HexFault::Kind kind, qsizetype position) {
        m_out = out;
        return fail(kind, position);
    };
    while (p < end) {
        if (m_state == State::Between) {
            // Nearly all of a long text: whole bytes and the separators
            // between them, in a loop that keeps nothing but the pointers.
            while (end - p >= 4) {
#if defined(__SSE2__)
                if constexpr (sizeof(Char) == 1) {
                    if (end - p >= 16) {
                        if (const int used = readBlock(p, out)) {
                            out += used == 16 ? 8 : 5;
                            p += used;
                            continue;
                        }
                    }
                }
#endif
                const unsigned high = classOf(p[0]);
                const unsigned low = classOf(p[1]);
                if ((high | low) < 16) {
                    *out++ = char(high << 4 | low);
                    p += 2;
                    if (classOf(*p) == Separator)
                        ++p;
                } else if (high == Separator) {
                    ++p;
                } else if (low == LetterX && p[0] == Char('0')
                           && (classOf(p[2]) | classOf(p[3])) < 16) {
                    *out++ = char(classOf(p[2]) << 4 | classOf(p[3]));
                    p += 4;
                } else {
                    break;
                }
            }
            if (p == end)
                break;
            const unsigned c = classOf(*p);
            if (c < 16) {
                m_high = c;
                m_zero = *p == Char('0');
                m_byteStart = at(p);
                m_state = State::High;
            } else if (c != Separator) {
                return stop(HexFault::NotHex, at(p));
            }
            ++p;
            continue;
        }
        const unsigned c = classOf(*p);
        if (c < 16) {
            if (m_state == State::High) {
                *out++ = char(m_high << 4 | c);
                m_state = State::Between;
            } else {
                m_high = c;
                m_zero = false; // one 0x to a byte
                m_state = State::High;
            }
        } else if (c == LetterX && m_state == State::High && m_zero) {
            m_state = State::Prefix;
        } else if (c == Separator) {
            return stop(HexFault::ShortByte, m_byteStart);
        } else {
            return stop(HexFault::NotHex, at(p));
        }
        ++p;
    }
    m_out = out;
    m_offset += end - begin;
    return true;
}

bool Reader::finish()
{
    if (m_state != State::Between)
        return fail(HexFault::ShortByte, m_byteStart);
    return true;
}

HexBytes Reader::result()
{
    if (m_fault)
        return { QByteArray(), m_fault };
    m_bytes.truncate(m_out - m_bytes.data());
    return { std::move(m_bytes), std::nullopt };
}

} // namespace

QString HexFault::text() const
{
    const QString where = QStringLiteral("at line %1, column %2").arg(line).arg(column);
    return kind == NotHex ? QStringLiteral("not hex ") + where
                          : QStringLiteral("a byte needs two hex digits ") + where;
}

HexBytes bytesFromHex(QStringView text)
{
    const QAnyStringView piece(text);
    return bytesFromHex(std::span(&piece, 1));
}

HexBytes bytesFromHex(std::span<const QAnyStringView> pieces)
{
    // UTF-8 pieces would count columns in bytes; the field never has any.
    std::vector<QString> converted;
    std::vector<QAnyStringView> views;
    for (const QAnyStringView piece : pieces) {
        bool utf8 = false;
        piece.visit([&](auto view) { utf8 = std::is_same_v<decltype(view), QUtf8StringView>; });
        if (utf8) {
            for (const QAnyStringView each : pieces)
                converted.push_back(each.toString());
            views.assign(converted.begin(), converted.end());
            return bytesFromHex(views);
        }
    }

    qsizetype units = 0;
    for (const QAnyStringView piece : pieces)
        units += piece.size();
    Reader reader(units);
    bool ok = true;
    for (const QAnyStringView piece : pieces) {
        piece.visit([&](auto view) {
            if constexpr (std::is_same_v<decltype(view), QStringView>)
                ok = reader.read(view.utf16(), view.utf16() + view.size());
            else
                ok = reader.read(view.data(), view.data() + view.size());
        });
        if (!ok)
            break;
    }
    if (ok)
        reader.finish();
    HexBytes result = reader.result();
    // Lines and columns are found only once there is a fault, so that the
    // reading itself counts nothing.
    if (result.fault) {
        const LineColumn where = lineColumnOf(pieces, result.fault->position);
        result.fault->line = where.line;
        result.fault->column = where.column;
    }
    return result;
}
