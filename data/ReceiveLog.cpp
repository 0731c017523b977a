#include "data/ReceiveLog.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

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

bool ReceiveLog::appendPiece(const QString &piece)
{
    QStringView text(piece);
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (m_positionAfterCR == cursor.position() && text.startsWith(u'\n'))
        text = text.sliced(1);
    if (length() + text.size() > capacity)
        return false;
    if (!text.isEmpty()) {
        cursor.insertText(text.toString());
        m_positionAfterCR = piece.endsWith(u'\r') ? cursor.position() : -1;
    }
    setTextCursor(cursor);
    ensureCursorVisible();
    return true;
}

void ReceiveLog::clearLog()
{
    clear();
    m_positionAfterCR = -1;
}
