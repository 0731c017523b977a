#include "text/portText.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

bool isSkipped(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

bool isAsciiDigit(QChar c, int base)
{
    const char16_t u = c.unicode();
    if (base == 8)
        return u >= u'0' && u <= u'7';
    if (u >= u'0' && u <= u'9')
        return true;
    return base == 16 && ((u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F'));
}

int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// The program runs under the user's locale, where the decimal point may be a
// comma; port text always uses a dot.
double parseCLocale(const std::string &literal)
{
#if defined(_WIN32)
    static const _locale_t cLocale = _create_locale(LC_ALL, "C");
    return _strtod_l(literal.c_str(), nullptr, cLocale);
#else
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return strtod_l(literal.c_str(), nullptr, cLocale);
#endif
}

} // namespace

double portTextValue(QStringView text)
{
    // Skipping blanks first lets the reader below see one compact literal.
    std::string s;
    s.reserve(std::min<qsizetype>(text.size(), 4096));
    for (QChar c : text) {
        if (isSkipped(c))
            continue;
        // Non-ASCII characters can never continue a number: keep a stopper.
        s.push_back(c.unicode() < 128 ? char(c.unicode()) : '\x7f');
    }

    size_t i = 0;
    if (s.size() >= 2 && s[0] == '&') {
        const char kind = char(std::toupper(static_cast<unsigned char>(s[1])));
        const int base = kind == 'H' ? 16 : kind == 'O' ? 8 : 0;
        if (base == 0)
            return 0;
        double value = 0;
        for (i = 2; i < s.size() && isAsciiDigit(QChar(s[i]), base); ++i)
            value = value * base + digitValue(s[i]);
        return value;
    }

    // Find the longest prefix of the form [sign] digits [. digits] [e [sign] digits].
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < s.size() && isAsciiDigit(QChar(s[i]), 10)) {
        ++i;
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isAsciiDigit(QChar(s[i]), 10)) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return 0;
    size_t end = i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        size_t expDigits = 0;
        while (j < s.size() && isAsciiDigit(QChar(s[j]), 10)) {
            ++j;
            ++expDigits;
        }
        if (expDigits > 0)
            end = j;
    }
    return parseCLocale(s.substr(0, end));
}

int32_t wholeNumber(double value)
{
    const double rounded = std::nearbyint(value); // default mode: half to even
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        throw std::out_of_range("the number does not fit in 32 bits");
    return static_cast<int32_t>(rounded);
}

int32_t portTextWhole(QStringView text)
{
    return wholeNumber(portTextValue(text));
}

QStringView trimSpaces(QStringView text)
{
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && text[from] == u' ')
        ++from;
    while (to > from && text[to - 1] == u' ')
        --to;
    return text.sliced(from, to - from);
}

bool isBlankField(QStringView text)
{
    return trimSpaces(text).isEmpty();
}
