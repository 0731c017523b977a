#pragma once

#include <QPlainTextEdit>

// The receive log: an ordinary editable text field that received pieces are
// appended to at the end, at a cost that does not grow with the log's size.
class ReceiveLog final : public QPlainTextEdit
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReceiveLog)

public:
    // Characters the log holds at most; a piece that would pass it is refused.
    static constexpr qsizetype capacity = 16 * 1024 * 1024;

    explicit ReceiveLog(QWidget *parent = nullptr);

    // Appends the piece at the end, puts the caret there with nothing selected
    // and scrolls it into view. False, with the log unchanged, when full.
    bool appendPiece(const QString &piece);
    void clearLog();
    qsizetype length() const;

private:
    // A CR that ended the last piece already broke the line; an LF that
    // starts the next one belongs to it.
    int m_positionAfterCR = -1;
};
