#include "data/ReceiveLog.h"

#include <QApplication>
#include <QEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <cstring>

namespace {

// A paragraph that continues the line before it carries this state. Unlike a
// format, the state is not passed on to a paragraph the user starts inside it
// with Enter or a paste, which is a real line break.
constexpr int softBreakState = 1;
// Set on a stand-in for a received character the document would turn into a
// paragraph break or a line break of its own; holds the character.
constexpr int receivedCharProperty = QTextFormat::UserProperty + 2;

bool startsAfterSoftBreak(const QTextBlock &block)
{
    return block.userState() == softBreakState;
}

// Characters the document gives a meaning of its own: inserted as they are,
// they would break the paragraph or read back as a line break.
bool needsStandIn(char16_t c)
{
    return c == QChar::LineSeparator || c == QChar::ParagraphSeparator || c == 0xFDD0
           || c == 0xFDD1;
}

QTextCharFormat standInFormat(char16_t received)
{
    QTextCharFormat format;
    format.setProperty(receivedCharProperty, int(received));
    return format;
}

char16_t standInFor(char16_t received)
{
    // The separators still look like one; the frame marks are not text.
    return received == QChar::LineSeparator || received == QChar::ParagraphSeparator
                   ? QChar::LineSeparator
                   : QChar::ReplacementCharacter;
}

bool needsCare(char16_t c)
{
    return c == u'\r' || c == u'\n' || needsStandIn(c);
}

// The end of the run of characters from `from` (before `limit`) that go into
// the document as they are. Hex records and most text are plain characters
// between CR and the first separator, so four are tested at a time.
qsizetype plainRunEnd(QStringView text, qsizetype from, qsizetype limit)
{
    constexpr quint64 lanes = 0x0001'0001'0001'0001;
    constexpr quint64 top = 0x8000 * lanes;
    const char16_t *chars = text.utf16();
    qsizetype at = from;
    while (at < limit) {
        if (at + 4 <= limit) {
            quint64 word;
            std::memcpy(&word, chars + at, sizeof word);
            const quint64 low = word & ~top; // no carry can cross a lane below
            const quint64 atLeastSeparator = (low + (0x8000 - QChar::LineSeparator) * lanes) & top;
            const quint64 belowCR = ~(low + (0x8000 - u'\r' - 1) * lanes) & top;
            if (((word & top) | atLeastSeparator | belowCR) == 0) {
                at += 4;
                continue;
            }
        }
        // One of these four may need care: look at each.
        for (const qsizetype end = std::min(at + 4, limit); at < end; ++at) {
            if (needsCare(chars[at]))
                return at;
        }
    }
    return at;
}

} // namespace

ReceiveLog::ReceiveLog(QWidget *parent)
    : QPlainTextEdit(parent)
{
    // Undo history would keep a copy of everything received.
    document()->setUndoRedoEnabled(false);
    m_repaintTimer.setSingleShot(true);
    connect(&m_repaintTimer, &QTimer::timeout, this, &ReceiveLog::releaseRepaint);
    // What the user types takes the format of the character before it; next
    // to a stand-in that would make typed text read back as the received one.
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, [this] {
        if (textCursor().charFormat().hasProperty(receivedCharProperty))
            setCurrentCharFormat(QTextCharFormat());
    });
}

ReceiveLog::~ReceiveLog()
{
    closeBatch();
}

void ReceiveLog::paceRepaint()
{
    if (m_repaintHeld)
        return;
    if (m_sinceShown.isValid() && m_sinceShown.elapsed() < repaintIntervalMs) {
        // Hidden from painting, the view also skips the scroll of its pixels
        // that every appended line would otherwise cause.
        m_repaintHeld = true;
        setUpdatesEnabled(false);
        m_repaintTimer.start(int(repaintIntervalMs - m_sinceShown.elapsed()));
        return;
    }
    m_sinceShown.start();
}

void ReceiveLog::closeBatch()
{
    if (m_batch.isNull())
        return;
    QTextCursor batch = std::exchange(m_batch, QTextCursor());
    batch.endEditBlock();
    ensureCursorVisible();
}

bool ReceiveLog::event(QEvent *event)
{
    // Queued calls and timers of the view's own run all the time; anything
    // else (input, focus, a resize) sees the batch's text laid out.
    if (event->type() != QEvent::MetaCall && event->type() != QEvent::Timer)
        closeBatch();
    return QPlainTextEdit::event(event);
}

bool ReceiveLog::viewportEvent(QEvent *event)
{
    closeBatch();
    return QPlainTextEdit::viewportEvent(event);
}

void ReceiveLog::releaseRepaint()
{
    closeBatch();
    m_repaintHeld = false;
    setUpdatesEnabled(true); // repaints everything
    ensureCursorVisible();
    m_sinceShown.start();
}

qsizetype ReceiveLog::length() const
{
    return document()->characterCount() - 1; // the document's final separator
}

void ReceiveLog::insertText(QTextCursor &cursor, QStringView text)
{
    // Breaks inside a paragraph are written as line separators: a paragraph
    // per received line would cost a block and a layout each.
    QString run;
    run.reserve(std::min(text.size(), maxParagraphChars));
    qsizetype paragraphLength = cursor.block().length() - 1;
    const auto flush = [&] {
        if (!run.isEmpty())
            cursor.insertText(run, QTextCharFormat());
        run.clear();
    };
    const auto startParagraph = [&](bool soft) {
        flush();
        cursor.insertBlock(QTextBlockFormat());
        if (soft)
            cursor.block().setUserState(softBreakState);
        paragraphLength = 0;
    };
    qsizetype i = 0;
    while (i < text.size()) {
        // The plain characters up to the next one that needs care, as many as
        // the paragraph has room for.
        const qsizetype limit = std::min(text.size(), i + maxParagraphChars - paragraphLength);
        const qsizetype plainEnd = plainRunEnd(text, i, limit);
        run += text.sliced(i, plainEnd - i);
        paragraphLength += plainEnd - i;
        i = plainEnd;
        if (i == text.size())
            break;
        const char16_t c = text[i].unicode();
        if (c == u'\r' || c == u'\n') {
            // CR LF, a lone CR and a lone LF each end one line.
            i += c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n' ? 2 : 1;
            if (paragraphLength >= paragraphTarget) {
                startParagraph(false);
            } else {
                run += QChar::LineSeparator;
                ++paragraphLength;
            }
        } else if (paragraphLength >= maxParagraphChars) {
            startParagraph(true);
        } else {
            flush();
            cursor.insertText(QString(QChar(standInFor(c))), standInFormat(c));
            ++paragraphLength;
            ++i;
        }
    }
    flush();
}

bool ReceiveLog::appendPiece(const QString &piece)
{
    QStringView text(piece);
    const int end = int(length());
    if (m_positionAfterCR == end && text.startsWith(u'\n'))
        text = text.sliced(1);
    if (m_full && end == 0)
        m_full = false; // emptied by hand
    // Soft breaks are not counted: they add at most one character in 4096.
    if (m_full || end + text.size() > capacity) {
        m_full = true;
        return false;
    }

    const QTextCursor caret = textCursor();
    const bool caretAtEnd = !caret.hasSelection() && caret.position() == end;
    paceRepaint();
    // A caret at the end moves on with the text; one elsewhere must be moved.
    const bool batched = m_repaintHeld && caretAtEnd;
    // The document changed behind the batch's back (setPlainText): start anew.
    if (!batched || (!m_batch.isNull() && m_batch.position() != end))
        closeBatch();
    if (batched && m_batch.isNull()) {
        m_batch = QTextCursor(document());
        m_batch.movePosition(QTextCursor::End);
        m_batch.beginEditBlock();
    }
    // The batch's cursor stays at the end: what is inserted there moves it on.
    QTextCursor single;
    if (!batched) {
        single = QTextCursor(document());
        single.movePosition(QTextCursor::End);
    }
    QTextCursor &cursor = batched ? m_batch : single;

    cursor.beginEditBlock();
    insertText(cursor, text);
    cursor.endEditBlock();
    if (piece.endsWith(u'\r'))
        m_positionAfterCR = cursor.position();
    else if (!piece.isEmpty())
        m_positionAfterCR = -1;

    if (!batched) {
        setTextCursor(cursor);
        ensureCursorVisible();
    }
    return true;
}

void ReceiveLog::clearLog()
{
    closeBatch();
    clear();
    m_positionAfterCR = -1;
    m_full = false;
}

void ReceiveLog::mouseDoubleClickEvent(QMouseEvent *event)
{
    QPlainTextEdit::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) {
        m_sinceDoubleClick.start();
        m_doubleClickPoint = event->position().toPoint();
    }
}

void ReceiveLog::mousePressEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    const bool tripleClick
            = event->button() == Qt::LeftButton && m_sinceDoubleClick.isValid()
              && m_sinceDoubleClick.elapsed() < QApplication::doubleClickInterval()
              && (at - m_doubleClickPoint).manhattanLength() < QApplication::startDragDistance();
    QPlainTextEdit::mousePressEvent(event);
    // The field selects the paragraph, which here holds many received lines.
    if (tripleClick) {
        m_sinceDoubleClick.invalidate();
        setTextCursor(lineAround(cursorForPosition(at).position()));
    }
}

QTextCursor ReceiveLog::lineAround(int position) const
{
    const QTextBlock clicked = document()->findBlock(position);
    int start = clicked.position();
    for (QTextBlock block = clicked; block.isValid(); block = block.previous()) {
        const int before = block == clicked ? position - block.position() : block.length() - 1;
        const int separator
                = before > 0 ? int(block.text().lastIndexOf(QChar::LineSeparator, before - 1)) : -1;
        start = block.position() + separator + 1;
        if (separator >= 0 || !startsAfterSoftBreak(block))
            break;
    }
    int end = position;
    for (QTextBlock block = clicked; block.isValid(); block = block.next()) {
        if (block != clicked && !startsAfterSoftBreak(block))
            break;
        const int from = block == clicked ? position - block.position() : 0;
        const int separator = int(block.text().indexOf(QChar::LineSeparator, from));
        end = block.position() + (separator >= 0 ? separator : block.length() - 1);
        if (separator >= 0)
            break;
    }
    QTextCursor line(document());
    line.setPosition(start);
    line.setPosition(end, QTextCursor::KeepAnchor);
    return line;
}

QString ReceiveLog::textBetween(int from, int to) const
{
    QString text;
    const QTextDocument *doc = document();
    for (QTextBlock block = doc->findBlock(from); block.isValid() && block.position() <= to;
         block = block.next()) {
        if (block.position() > from && !startsAfterSoftBreak(block))
            text += u'\n';
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const int start = std::max(from, fragment.position());
            const int end = std::min(to, fragment.position() + fragment.length());
            if (end <= start)
                continue;
            QString piece = fragment.text().mid(start - fragment.position(), end - start);
            const QVariant received = fragment.charFormat().property(receivedCharProperty);
            for (QChar &c : piece) {
                if (c != QChar::LineSeparator && c != QChar::ReplacementCharacter)
                    continue;
                if (received.isValid())
                    c = QChar(char16_t(received.toInt()));
                else if (c == QChar::LineSeparator)
                    c = u'\n';
            }
            text += piece;
        }
    }
    return text;
}

QString ReceiveLog::logText() const
{
    return textBetween(0, int(length()));
}

QMimeData *ReceiveLog::createMimeDataFromSelection() const
{
    const QTextCursor selection = textCursor();
    auto *mime = new QMimeData;
    mime->setText(textBetween(selection.selectionStart(), selection.selectionEnd()));
    return mime;
}
