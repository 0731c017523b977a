#pragma once

#include <QAnyStringView>
#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>
#include <span>

// Bytes written in hex, as the send box takes them: each byte two hex digits
// (0-9, a-f, A-F), optionally led by 0x or 0X. Spaces, tabs, commas and line
// breaks may stand between bytes, or nothing at all. Anything else, including
// digits of other scripts and full-width letters, is a fault, and so is a byte
// with one digit or a 0x with none after it.

struct HexFault
{
    enum Kind {
        NotHex,   // a character that has no place in hex text
        ShortByte // a byte cut short: one digit, or 0x without two after it
    };
    Kind kind = NotHex;
    // Where it is, in UTF-16 units from the start, as the field counts
    // positions: the character that has no place, or the start of the short
    // byte (its 0x when it has one).
    qsizetype position = 0;
    // 1-based. Lines end at LF, CR LF or CR, as in the field. Columns count
    // UTF-16 units, as the field's positions do, so a character beyond U+FFFF
    // takes two.
    qsizetype line = 1;
    qsizetype column = 1;

    // "not hex at line L, column C" or "a byte needs two hex digits at ...".
    QString text() const;
};

struct HexBytes
{
    QByteArray bytes; // empty when there is a fault: nothing of it counts
    std::optional<HexFault> fault;
};

HexBytes bytesFromHex(QStringView text);
// The same for a text kept in pieces, as a field's store keeps its chunks:
// Latin-1 or UTF-16, read in one pass with no copy of the text.
HexBytes bytesFromHex(std::span<const QAnyStringView> pieces);
