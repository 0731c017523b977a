#pragma once

#include <QAnyStringView>
#include <QByteArray>
#include <QString>
#include <QUtf8StringView>

// The one way text of the fields becomes UTF-8 for other programs and files:
// the clipboard, drags, saves. It takes the pieces the text is stored in,
// Latin-1 or UTF-16, one after another, and writes each unit as it is, NUL, CR
// and LF included. A surrogate pair becomes its one character also where a
// piece ends between its halves: a high surrogate at the end of a piece waits
// for the next one. A lone surrogate, which UTF-8 cannot hold, becomes U+FFFD.
//
// With a null output it only counts the bytes, so a caller can size its
// buffer first; otherwise the caller makes room for maxBytes() of each piece.
class Utf8Encoder
{
public:
    explicit Utf8Encoder(char *out = nullptr)
        : m_out(out)
    { }

    // The most bytes a piece of `units` units can take, a waiting high
    // surrogate that turns out lone included.
    static constexpr qsizetype maxBytes(qsizetype units) { return 3 * units + 3; }

    void piece(QAnyStringView piece);
    // Ends the text: a high surrogate still waiting is lone.
    void finish();

    // Bytes counted or written so far.
    qsizetype size() const { return m_size; }
    // Starts writing at `out` again, the count from zero, a waiting high
    // surrogate kept: for a caller that writes slice after slice.
    void restartAt(char *out)
    {
        m_out = out;
        m_size = 0;
    }

private:
    void take(QLatin1StringView piece);
    void take(QStringView piece);
    void take(QUtf8StringView piece);
    void flushHigh();
    void code(char32_t c);

    char *m_out;
    qsizetype m_size = 0;
    char16_t m_high = 0;
};

// UTF-8 of pieces that `forEach(visit)` hands over in order: counted, then
// written into one array of their size.
template<typename ForEach>
QByteArray encodeUtf8(const ForEach &forEach)
{
    Utf8Encoder counter;
    forEach([&](QAnyStringView piece) { counter.piece(piece); });
    counter.finish();
    QByteArray result(counter.size(), Qt::Uninitialized);
    Utf8Encoder writer(result.data());
    forEach([&](QAnyStringView piece) { writer.piece(piece); });
    writer.finish();
    Q_ASSERT(writer.size() == result.size());
    return result;
}
