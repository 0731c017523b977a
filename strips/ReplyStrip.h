#pragma once

#include "field/widget/FieldStrip.h"
#include "strips/StreamMatch.h"

#include <QByteArray>
#include <QTimer>

class QCheckBox;
class QLineEdit;
class QPushButton;

// "Reply Automatically…" in the receive log: When an arrival contains
// [text], reply [text], a Hex tick for each (the text read as bytes in hex, as
// Send as Hex reads the send box; otherwise its UTF-8), On/Off and
// "Replied 7" ("Replied 7, 3 from this program skipped" once datagrams of the
// program's own socket matched: a reply to them would answer itself, and a
// reply that matches would double at each round). The window feeds it every
// arrival's bytes and sends the reply it asks for, once an occurrence.
//
// Invariants: on is m_reply holding the bytes read at On, and then both texts
// and ticks are locked; each TCP connection's stream is matched as one text,
// each datagram on its own.
class ReplyStrip final : public FieldStrip
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReplyStrip)

public:
    explicit ReplyStrip(TextField *field);

    void turnOn();
    // Turns replying off, if it is on; a reason says why.
    void turnOffWith(const QString &reason);

    // The replies an arrival calls for, while on: its occurrences of the match
    // (stream 0 for a datagram, else the number of its TCP connection).
    qsizetype repliesFor(QByteArrayView bytes, quint64 stream);
    const QByteArray &reply() const { return m_reply; }
    // Counts replies that went out.
    void replied(qsizetype count);
    // Counts an arrival from the program itself that called for replies and
    // got none.
    void skippedOwn();

protected:
    void stop() override { turnOffWith(QString()); }
    void activate() override { m_on ? stop() : turnOn(); }

private:
    // The field's bytes, or a null array with the status saying why not.
    QByteArray bytesOf(QLineEdit *text, QCheckBox *hex, const QString &name);
    void lock(bool locked);
    void showCount(const QString &reason = {});

    QLineEdit *m_match;
    QCheckBox *m_matchHex;
    QLineEdit *m_replyText;
    QCheckBox *m_replyHex;
    QPushButton *m_onOff;
    bool m_on = false;
    StreamMatch m_matcher;
    QByteArray m_reply;
    quint64 m_stream = 0; // whose stream m_matcher has been reading
    qsizetype m_replied = 0;
    qsizetype m_skipped = 0;
    // Under a flood the count is shown at most every 100 ms, and always
    // shown in the end: a label set ten thousand times a second would cost
    // more than the replies.
    QTimer m_showSoon;
};
