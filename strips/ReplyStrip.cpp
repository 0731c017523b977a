#include "strips/ReplyStrip.h"

#include "text/hexText.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include <limits>

ReplyStrip::ReplyStrip(TextField *field)
    : FieldStrip(field, QStringLiteral("Reply Automatically…"), "replyStrip")
    , m_match(new QLineEdit(this))
    , m_matchHex(new QCheckBox(QStringLiteral("Hex"), this))
    , m_replyText(new QLineEdit(this))
    , m_replyHex(new QCheckBox(QStringLiteral("Hex"), this))
    , m_onOff(new QPushButton(QStringLiteral("On"), this))
{
    m_match->setObjectName(QStringLiteral("replyMatch"));
    m_matchHex->setObjectName(QStringLiteral("replyMatchHex"));
    m_replyText->setObjectName(QStringLiteral("replyText"));
    m_replyHex->setObjectName(QStringLiteral("replyTextHex"));
    m_onOff->setObjectName(QStringLiteral("replyOnOff"));
    m_match->setAccessibleName(QStringLiteral("When an arrival contains"));
    m_matchHex->setAccessibleName(QStringLiteral("Match in hex"));
    m_replyText->setAccessibleName(QStringLiteral("Reply"));
    m_replyHex->setAccessibleName(QStringLiteral("Reply in hex"));
    for (QLineEdit *text : { m_match, m_replyText })
        text->setMaxLength(std::numeric_limits<int>::max());
    m_onOff->setAutoDefault(false);
    addControl(m_match, QStringLiteral("When an arrival contains"), 1);
    addControl(m_matchHex);
    startRow();
    addControl(m_replyText, QStringLiteral("reply"), 1);
    addControl(m_replyHex);
    addControl(m_onOff);
    connect(m_onOff, &QPushButton::clicked, this, &ReplyStrip::activate);
    m_showSoon.setSingleShot(true);
    m_showSoon.setInterval(100);
    connect(&m_showSoon, &QTimer::timeout, this, [this] { showCount(); });
}

void ReplyStrip::turnOn()
{
    if (m_match->text().isEmpty()) {
        setStatus(QStringLiteral("Nothing to match"));
        return;
    }
    const QByteArray match = bytesOf(m_match, m_matchHex, QStringLiteral("Match"));
    if (match.isNull())
        return;
    if (match.isEmpty()) {
        setStatus(QStringLiteral("Nothing to match"));
        return;
    }
    const QByteArray reply = bytesOf(m_replyText, m_replyHex, QStringLiteral("Reply"));
    if (reply.isNull())
        return;
    m_matcher = StreamMatch(match);
    m_reply = reply;
    m_stream = 0;
    m_replied = 0;
    m_skipped = 0;
    m_on = true;
    lock(true);
    showCount();
}

void ReplyStrip::turnOffWith(const QString &reason)
{
    if (!m_on)
        return;
    m_on = false;
    m_reply.clear();
    lock(false);
    showCount(reason);
}

qsizetype ReplyStrip::repliesFor(QByteArrayView bytes, quint64 stream)
{
    if (!m_on)
        return 0;
    if (stream == 0 || stream != m_stream)
        m_matcher.restart();
    m_stream = stream;
    return m_matcher.feed(bytes);
}

void ReplyStrip::replied(qsizetype count)
{
    m_replied += count;
    if (!m_showSoon.isActive())
        m_showSoon.start();
}

void ReplyStrip::skippedOwn()
{
    ++m_skipped;
    if (!m_showSoon.isActive())
        m_showSoon.start();
}

QByteArray ReplyStrip::bytesOf(QLineEdit *text, QCheckBox *hex, const QString &name)
{
    if (!hex->isChecked()) {
        QByteArray bytes = text->text().toUtf8();
        if (bytes.isNull())
            bytes = QByteArray(""); // empty, not null: read and found empty
        return bytes;
    }
    HexBytes read = bytesFromHex(text->text());
    if (read.fault) {
        text->setFocus(Qt::OtherFocusReason);
        text->setCursorPosition(int(read.fault->position));
        // One line: the field's column is what counts.
        setStatus(QStringLiteral("%1: %2").arg(name, read.fault->text()));
        return {};
    }
    if (read.bytes.isNull())
        read.bytes = QByteArray("");
    return read.bytes;
}

void ReplyStrip::lock(bool locked)
{
    m_match->setReadOnly(locked);
    m_replyText->setReadOnly(locked);
    m_matchHex->setEnabled(!locked);
    m_replyHex->setEnabled(!locked);
    m_onOff->setText(locked ? QStringLiteral("Off") : QStringLiteral("On"));
}

void ReplyStrip::showCount(const QString &reason)
{
    m_showSoon.stop();
    QString text = QStringLiteral("Replied %1").arg(m_replied);
    if (m_skipped != 0)
        text += QStringLiteral(", %1 from this program skipped").arg(m_skipped);
    if (!reason.isEmpty())
        text += QStringLiteral("; off: ") + reason;
    setStatus(text);
}
