#pragma once

#include "text/systemEncodings.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <utility>

// Text from the bytes of a connection (or of datagrams) in one encoding
// (TextEncoding::name). A read may end inside a character: its first bytes
// are held, at most maxHeldBytes, and complete it with the next read of the
// same stream. Nothing that arrived is lost from the text: every invalid byte
// sequence, and a character cut short by the end of its stream or datagram,
// is one U+FFFD (in UTF-8 one a byte, as the toolkit's one-shot reading has
// it); a byte-order mark is a character like any other.
class StreamDecoder final
{
public:
    // The longest incomplete character of any encoding offered (GB18030).
    static constexpr qsizetype maxHeldBytes = 3;

    explicit StreamDecoder(const QByteArray &encoding = "UTF-8");
    StreamDecoder(StreamDecoder &&) noexcept;
    StreamDecoder &operator=(StreamDecoder &&) noexcept;
    ~StreamDecoder();

    QByteArray encoding() const { return m_encoding; }
    // The text of the next bytes of stream `stream`, 0 for a datagram, which
    // is whole on its own. A stream other than the last one's begins fresh,
    // after what the last one held, given as U+FFFD: it never arrives now.
    // `last`: the stream ends with these bytes (the peer closed).
    QString decode(QByteArrayView bytes, quint64 stream, bool last);
    // Whether decode() would give these bytes back a byte a character
    // (plain ASCII in an encoding that keeps it, anything in Latin-1, with
    // nothing held), so that they may be shown as they are.
    bool passesAsLatin1(QByteArrayView bytes) const;
    bool holdsBytes() const { return !m_held.isEmpty(); }
    // The first bytes of a character still incomplete.
    QByteArray held() const { return m_held; }
    // Forgets what is held and the stream it came from.
    void reset();

private:
    enum class Kind { Utf8, Latin1, Utf16Le, Utf16Be, System };
    QString decodeWhole(QByteArrayView bytes);
    // The text of one character's first bytes, which the rest never follows.
    QString cutShort(QByteArrayView held);
    qsizetype incompleteTail(QByteArrayView bytes) const;

    QByteArray m_encoding;
    Kind m_kind = Kind::Utf8;
    std::unique_ptr<SystemConverter> m_system; // only for Kind::System
    QByteArray m_held;
    quint64 m_stream = 0;
};

// Whether every byte is below 0x80, looked at eight at a time.
bool isAscii(QByteArrayView bytes);

// Length of the longest suffix of `bytes` that could still become a valid
// UTF-8 character with more bytes (0 to 3).
qsizetype incompleteUtf8Tail(QByteArrayView bytes);
// The bytes the character that `bytes` starts with takes in the encoding, by
// its lead bytes (Shift_JIS, Big5, EUC-KR, GB18030 with its four-byte form;
// one for any other encoding): more than bytes.size() when it is cut short.
qsizetype multiByteCharacterLength(QByteArrayView bytes, const QByteArray &encoding);
// The same as incompleteUtf8Tail for those encodings, read from the start of
// `bytes`, which starts a character.
qsizetype incompleteMultiByteTail(QByteArrayView bytes, const QByteArray &encoding);
