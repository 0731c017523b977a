#pragma once

#include <QString>

// At least `units` units of ASCII, Latin-1, Cyrillic, CJK, a pair, CR LF, NUL
// and a lone CR, in whole repeats: no lone surrogates, so QString::toUtf8()
// says what the bytes must be.
inline QString repeatedMix(qsizetype units)
{
    static const QString pattern = QStringLiteral("ab\u00e9\u0436\u6f22\U0001F600\r\n\0x\r");
    QString text;
    while (text.size() < units)
        text += pattern;
    return text;
}
