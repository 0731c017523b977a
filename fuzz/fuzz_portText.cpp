// Checks portTextValue, portTextWhole, isBlankField and trimSpaces against a
// reference reader written from their rules, not from their code.
#include "text/portText.h"

#include <QString>

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

// Reads the text one significant character at a time: spaces, tabs and line
// feeds are invisible wherever they are.
class Reader
{
public:
    explicit Reader(QStringView text)
        : m_text(text)
    { }

    // The next significant character, or 0xFFFF at the end (U+FFFF itself is
    // a noncharacter that stops a number just as the end does).
    char16_t peek()
    {
        while (m_at < m_text.size()) {
            const char16_t c = m_text[m_at].unicode();
            if (c != u' ' && c != u'\t' && c != u'\n')
                return c;
            ++m_at;
        }
        return 0xFFFF;
    }
    void take() { ++m_at; }

    std::string takeWhile(bool (*accept)(char16_t))
    {
        std::string taken;
        while (accept(peek())) {
            taken.push_back(char(peek()));
            take();
        }
        return taken;
    }

private:
    QStringView m_text;
    qsizetype m_at = 0;
};

bool isDecimal(char16_t c)
{
    return c >= u'0' && c <= u'9';
}
bool isOctal(char16_t c)
{
    return c >= u'0' && c <= u'7';
}
bool isHex(char16_t c)
{
    return isDecimal(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

std::string withoutLeadingZeros(const std::string &digits)
{
    const size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string() : digits.substr(first);
}

struct Expected
{
    double value = 0;
    bool loose = false; // one unit in the last place either way is acceptable
};

// &H / &O literal. The digits are turned into one hex significand and read by
// a correctly rounding parser, so the model is exact for any length.
Expected radixValue(Reader &reader)
{
    const char16_t kind = reader.peek();
    if (kind != u'h' && kind != u'H' && kind != u'o' && kind != u'O')
        return {};
    reader.take();
    const bool hex = kind == u'h' || kind == u'H';
    std::string digits = withoutLeadingZeros(reader.takeWhile(hex ? isHex : isOctal));
    if (digits.empty())
        return {};
    if (!hex) {
        std::string bits;
        for (char d : digits)
            for (int shift = 2; shift >= 0; --shift)
                bits.push_back(((d - '0') >> shift) & 1 ? '1' : '0');
        bits.insert(0, (4 - bits.size() % 4) % 4, '0');
        digits.clear();
        for (size_t i = 0; i < bits.size(); i += 4)
            digits.push_back("0123456789abcdef"[std::stoi(bits.substr(i, 4), nullptr, 2)]);
    }
    Expected expected;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(),
                                              expected.value, std::chars_format::hex);
    if (error == std::errc::result_out_of_range)
        expected.value = std::numeric_limits<double>::infinity();
    else if (error != std::errc() || end != digits.data() + digits.size())
        std::abort();
    // The program adds digit by digit in doubles: past 53 bits every addition
    // rounds on its own, which may land one unit away from the single correct
    // rounding. Ports never come near 2^53, so that is accepted there.
    expected.loose = expected.value >= 9007199254740992.0;
    return expected;
}

Expected decimalValue(Reader &reader)
{
    bool negative = false;
    if (reader.peek() == u'+' || reader.peek() == u'-') {
        negative = reader.peek() == u'-';
        reader.take();
    }
    const std::string whole = reader.takeWhile(isDecimal);
    std::string fraction;
    if (reader.peek() == u'.') {
        reader.take();
        fraction = reader.takeWhile(isDecimal);
    }
    if (whole.empty() && fraction.empty())
        return {};

    long long exponent = 0;
    if (reader.peek() == u'e' || reader.peek() == u'E') {
        reader.take();
        bool negativeExponent = false;
        if (reader.peek() == u'+' || reader.peek() == u'-') {
            negativeExponent = reader.peek() == u'-';
            reader.take();
        }
        // Saturate: anything past a billion is far beyond double range anyway.
        for (char d : reader.takeWhile(isDecimal))
            exponent = std::min(exponent * 10 + (d - '0'), 1'000'000'000LL);
        if (negativeExponent)
            exponent = -exponent;
    }

    Expected expected;
    const std::string significand = withoutLeadingZeros(whole + fraction);
    if (!significand.empty()) {
        // Both this and the program's strtod round correctly, so they agree to the bit.
        const long long scale = exponent - static_cast<long long>(fraction.size());
        const std::string literal = significand + 'e' + std::to_string(scale);
        const auto [end, error]
                = std::from_chars(literal.data(), literal.data() + literal.size(), expected.value);
        if (error == std::errc::result_out_of_range) {
            const bool huge = static_cast<long long>(significand.size()) + scale > 0;
            expected.value = huge ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (error != std::errc() || end != literal.data() + literal.size()) {
            std::abort();
        }
    }
    if (negative)
        expected.value = -expected.value;
    return expected;
}

Expected modelValue(QStringView text)
{
    Reader reader(text);
    if (reader.peek() == u'&') {
        reader.take();
        return radixValue(reader);
    }
    return decimalValue(reader);
}

// Nearest whole number, ties to even, or nothing when it is not a 32-bit int.
std::optional<int32_t> modelWhole(double value)
{
    if (!std::isfinite(value))
        return std::nullopt;
    const double magnitude = std::fabs(value);
    const double below = std::floor(magnitude);
    const double rest = magnitude - below; // exact: both lie within a factor of two
    double rounded = below;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(below, 2.0) != 0.0))
        rounded = below + 1;
    if (value < 0)
        rounded = -rounded;
    if (rounded < -2147483648.0 || rounded > 2147483647.0)
        return std::nullopt;
    return static_cast<int32_t>(rounded);
}

bool sameValue(double actual, const Expected &expected)
{
    if (std::memcmp(&actual, &expected.value, sizeof actual) == 0)
        return true; // bit-exact, so -0 and +0 are told apart
    if (!expected.loose)
        return false;
    const double inf = std::numeric_limits<double>::infinity();
    return actual == std::nextafter(expected.value, inf)
           || actual == std::nextafter(expected.value, -inf);
}

// The text with everything but printable ASCII written as \uXXXX.
std::string escaped(QStringView text)
{
    std::string out;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F && u != u'\\') {
            out.push_back(char(u));
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04X", unsigned(u));
            out += code;
        }
    }
    return out;
}

[[noreturn]] void mismatch(QStringView text, const char *what, const std::string &detail)
{
    std::fprintf(stderr, "MODEL MISMATCH in %s for text \"%s\"\n  %s\n", what,
                 escaped(text).c_str(), detail.c_str());
    std::abort();
}

std::string describe(double value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g (%a)", value, value);
    return buffer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString owned
            = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QStringView text(owned);

    const Expected expected = modelValue(text);
    const double value = portTextValue(text);
    if (!sameValue(value, expected))
        mismatch(text, "portTextValue",
                 "program " + describe(value) + ", model " + describe(expected.value));

    // The one-unit slack only applies above 2^53, far outside 32 bits either way.
    const std::optional<int32_t> whole = modelWhole(expected.value);
    try {
        const int32_t actual = portTextWhole(text);
        if (!whole || *whole != actual)
            mismatch(text, "portTextWhole",
                     "program " + std::to_string(actual) + ", model "
                             + (whole ? std::to_string(*whole) : std::string("out_of_range")));
    } catch (const std::out_of_range &) {
        if (whole)
            mismatch(text, "portTextWhole",
                     "program threw out_of_range, model " + std::to_string(*whole));
    }

    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text[from] == u' ')
        ++from;
    while (to > from && text[to - 1] == u' ')
        --to;
    const QStringView trimmed = trimSpaces(text);
    if (trimmed.data() != text.data() + from || trimmed.size() != to - from)
        mismatch(text, "trimSpaces",
                 "program [" + std::to_string(trimmed.data() - text.data()) + ", +"
                         + std::to_string(trimmed.size()) + "), model [" + std::to_string(from)
                         + ", +" + std::to_string(to - from) + ")");
    if (isBlankField(text) != (from == to))
        mismatch(text, "isBlankField",
                 from == to ? "program false, model true" : "program true, model false");
    return 0;
}
