#include "text/hexText.h"

#include <array>
#include <type_traits>
#include <vector>

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

// Reads the text piece by piece, keeping what a byte split between two pieces
// needs, and stops at the first fault.
class Reader
{
public:
    explicit Reader(qsizetype units) : m_bytes(units / 2, Qt::Uninitialized)
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
            while (end - p >= 2) {
                const unsigned high = classOf(p[0]);
                if (high < 16) {
                    const unsigned low = classOf(p[1]);
                    if (low >= 16)
                        break;
                    *out++ = char(high << 4 | low);
                    p += 2;
                } else if (high == Separator) {
                    ++p;
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

// Lines and columns of a position, found only once there is a fault, so that
// the reading itself counts nothing.
void locate(std::span<const QAnyStringView> pieces, HexFault &fault)
{
    qsizetype at = 0;
    qsizetype line = 1;
    qsizetype lineStart = 0;
    bool afterCr = false;
    for (const QAnyStringView piece : pieces) {
        piece.visit([&](auto view) {
            for (const auto unit : view) {
                if (at == fault.position)
                    return;
                const char16_t c = QChar(unit).unicode();
                if (c == u'\r' || (c == u'\n' && !afterCr))
                    ++line;
                if (c == u'\r' || c == u'\n')
                    lineStart = at + 1;
                afterCr = c == u'\r';
                ++at;
            }
        });
        if (at == fault.position)
            break;
    }
    fault.line = line;
    fault.column = fault.position - lineStart + 1;
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
        piece.visit([&](auto view) {
            utf8 = std::is_same_v<decltype(view), QUtf8StringView>;
        });
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
    if (result.fault)
        locate(pieces, *result.fault);
    return result;
}
