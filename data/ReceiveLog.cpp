#include "data/ReceiveLog.h"

#include <QEvent>
#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

namespace {

constexpr int softBreakProperty = QTextFormat::UserProperty + 1;

bool startsAfterSoftBreak(const QTextBlock &block)
{
    return block.blockFormat().boolProperty(softBreakProperty);
}

// Length of the leading run of `text` whose lines, each with its line break,
// are all short enough to need no soft break.
qsizetype shortLinesRun(QStringView text)
{
    qsizetype run = 0;
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c != u'\r' && c != u'\n')
            continue;
        if (i - lineStart > ReceiveLog::maxLineChunk)
            return run;
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        run = lineStart = i + 1;
    }
    // The last line, without a break, ends the piece.
    return text.size() - lineStart <= ReceiveLog::maxLineChunk ? text.size() : run;
}

} // namespace

ReceiveLog::ReceiveLog(QWidget *parent)
    : QPlainTextEdit(parent)
{
    // Undo history would keep a copy of everything received.
    document()->setUndoRedoEnabled(false);
    m_repaintTimer.setSingleShot(true);
    connect(&m_repaintTimer, &QTimer::timeout, this, &ReceiveLog::releaseRepaint);
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

void ReceiveLog::insertLine(QTextCursor &cursor, QStringView line)
{
    static const QTextBlockFormat softBreak = [] {
        QTextBlockFormat format;
        format.setProperty(softBreakProperty, true);
        return format;
    }();
    qsizetype room = maxLineChunk - (cursor.block().length() - 1);
    while (!line.isEmpty()) {
        if (room <= 0) {
            cursor.insertBlock(softBreak);
            room = maxLineChunk;
        }
        const qsizetype take = std::min(room, line.size());
        cursor.insertText(line.first(take).toString());
        line = line.sliced(take);
        room -= take;
    }
}

bool ReceiveLog::appendPiece(const QString &piece)
{
    QStringView text(piece);
    const int end = int(length());
    if (m_positionAfterCR == end && text.startsWith(u'\n'))
        text = text.sliced(1);
    if (m_full && end == 0)
        m_full = false; // emptied by hand
    if (m_full || !fits(text, end)) {
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
    bool freshBlock = false; // the cursor is at the start of a block of ours
    while (!text.isEmpty()) {
        if (freshBlock) {
            // Short lines go in together: insertText() breaks lines at CR LF,
            // CR and LF just as the loop below does, but in one pass.
            const qsizetype run = shortLinesRun(text);
            if (run > 0) {
                cursor.insertText(text.first(run).toString());
                text = text.sliced(run);
                continue;
            }
        }
        qsizetype lineEnd = 0;
        while (lineEnd < text.size() && text[lineEnd] != u'\r' && text[lineEnd] != u'\n')
            ++lineEnd;
        insertLine(cursor, text.first(lineEnd));
        if (lineEnd == text.size())
            break;
        // CR LF, a lone CR and a lone LF each end one line.
        const bool crlf
                = text[lineEnd] == u'\r' && lineEnd + 1 < text.size() && text[lineEnd + 1] == u'\n';
        cursor.insertBlock(QTextBlockFormat());
        text = text.sliced(lineEnd + (crlf ? 2 : 1));
        freshBlock = true;
    }
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

bool ReceiveLog::fits(QStringView text, qsizetype end) const
{
    // Soft breaks are not counted as characters: they add at most one in 2048.
    if (end + text.size() > capacity)
        return false;
    // Paragraphs the piece adds: one per line break (a CR LF counts twice, an
    // upper bound) and the soft breaks of its long lines.
    qsizetype paragraphs = 0;
    qsizetype run = 0;
    for (QChar c : text) {
        if (c == u'\r' || c == u'\n') {
            paragraphs += 1 + run / maxLineChunk;
            run = 0;
        } else {
            ++run;
        }
    }
    paragraphs += run / maxLineChunk;
    return document()->blockCount() + paragraphs <= maxParagraphs;
}

void ReceiveLog::clearLog()
{
    closeBatch();
    clear();
    m_positionAfterCR = -1;
    m_full = false;
}

QString ReceiveLog::textBetween(int from, int to) const
{
    QString text;
    const QTextDocument *doc = document();
    for (QTextBlock block = doc->findBlock(from); block.isValid() && block.position() <= to;
         block = block.next()) {
        if (block.position() > from && !startsAfterSoftBreak(block))
            text += u'\n';
        const int start = std::max(from - block.position(), 0);
        const int end = std::min(to - block.position(), block.length() - 1);
        if (end > start)
            text += block.text().mid(start, end - start);
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
