#include "data/ReceiveLog.h"

#include <QMimeData>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {

constexpr int softBreakProperty = QTextFormat::UserProperty + 1;

bool startsAfterSoftBreak(const QTextBlock &block)
{
    return block.blockFormat().boolProperty(softBreakProperty);
}

} // namespace

ReceiveLog::ReceiveLog(QWidget *parent)
    : QPlainTextEdit(parent)
{
    // Undo history would keep a copy of everything received.
    document()->setUndoRedoEnabled(false);
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
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (m_positionAfterCR == cursor.position() && text.startsWith(u'\n'))
        text = text.sliced(1);
    // Soft breaks are not counted: they add at most one character in 2048.
    if (length() + text.size() > capacity)
        return false;

    cursor.beginEditBlock();
    while (!text.isEmpty()) {
        qsizetype end = 0;
        while (end < text.size() && text[end] != u'\r' && text[end] != u'\n')
            ++end;
        insertLine(cursor, text.first(end));
        if (end == text.size())
            break;
        // CR LF, a lone CR and a lone LF each end one line.
        const bool crlf = text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n';
        cursor.insertBlock(QTextBlockFormat());
        text = text.sliced(end + (crlf ? 2 : 1));
    }
    cursor.endEditBlock();
    if (piece.endsWith(u'\r'))
        m_positionAfterCR = cursor.position();
    else if (!piece.isEmpty())
        m_positionAfterCR = -1;

    setTextCursor(cursor);
    ensureCursorVisible();
    return true;
}

void ReceiveLog::clearLog()
{
    clear();
    m_positionAfterCR = -1;
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
