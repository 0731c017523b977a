#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

// The text encodings the program reads arrivals in and writes sends in:
// UTF-8, then those of a fixed list that this platform knows: the toolkit
// converts UTF-8, Latin-1 and UTF-16, the system (systemEncodings.h) the rest.
struct TextEncoding
{
    QString label;   // as the menu shows it: "Latin-1"
    QByteArray name; // as the toolkit knows it: "ISO-8859-1"
};
QList<TextEncoding> availableEncodings();

// The text in the encoding, or where the first character it cannot hold
// stands (faultAt, with the bytes empty); -1 when all of it was written.
// A U+FEFF is written where it stands, as any other character.
struct EncodedText
{
    QByteArray bytes;
    qsizetype faultAt = -1;
};
EncodedText encodeText(QStringView text, const QByteArray &encoding);

// The line ends a send may go out with; LF leaves the text as it was typed.
enum class LineEnd { Lf, CrLf, Cr };
// Each line break of the text (LF, CR LF, or a lone CR, one break each, as
// the field counts them) written as `end`.
QString withLineEnds(QStringView text, LineEnd end);
