#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>

// The receive log: an ordinary editable text field that received pieces are
// appended to at the end, at a cost that does not grow with the log's size.
//
// Each paragraph of the document costs a block, its fragments and a layout,
// so received lines are not one paragraph each: inside a paragraph a line
// break is a line separator, and a new paragraph starts at the first line
// break after paragraphTarget characters. The layout also redoes a whole
// paragraph whenever it changes, so no paragraph grows past maxParagraphChars:
// a longer line goes on in a paragraph of its own marked as a soft break,
// which wraps like the rest of the line. Reading or copying the log's text
// turns the separators back into "\n" and leaves soft breaks out. Received
// characters that the field would take as its own breaks are stored as
// marked stand-ins and read back as they came.
//
// Under a flood the log shows at most one picture every repaintIntervalMs:
// each arrival is in the document, with the caret after it, as soon as it is
// appended, but repainting and scrolling the view for every datagram would cost
// far more than storing it. While the picture is held, the arrivals also share
// one edit of the document, so the view lays out and resizes once for all of
// them instead of once each; any event for the log ends that edit first.
class ReceiveLog final : public QPlainTextEdit
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReceiveLog)

public:
    // Characters the log holds at most; a piece that would pass it is refused.
    static constexpr qsizetype capacity = qsizetype(16) * 1024 * 1024;
    // A line break starts a new paragraph once the paragraph holds this many
    // characters; before that it is a line separator inside the paragraph.
    static constexpr qsizetype paragraphTarget = 2048;
    // No paragraph grows past this: a longer line goes on after a soft break.
    static constexpr qsizetype maxParagraphChars = 4096;
    static constexpr int repaintIntervalMs = 20;

    explicit ReceiveLog(QWidget *parent = nullptr);
    ~ReceiveLog() override;

    // Appends the piece at the end, puts the caret there with nothing selected
    // and scrolls it into view. False, with the log unchanged, when full; once
    // a piece is refused every later one is too, until the log is cleared, so
    // the log always holds a gapless beginning of what arrived.
    bool appendPiece(const QString &piece);
    void clearLog();
    qsizetype length() const;

    // The text between two document positions, line breaks as "\n" and soft
    // breaks left out; logText() is all of it.
    QString textBetween(int from, int to) const;
    QString logText() const;

protected:
    QMimeData *createMimeDataFromSelection() const override;
    bool event(QEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    // The line holding a position, without its break: soft breaks continue it.
    QTextCursor lineAround(int position) const;
    void insertText(QTextCursor &cursor, QStringView text);
    // Holds repaints back when the last one was less than an interval ago.
    void paceRepaint();
    void releaseRepaint();
    void closeBatch();

    // A CR that ended the last piece already broke the line; an LF that
    // starts the next one belongs to it.
    int m_positionAfterCR = -1;
    bool m_full = false;

    QElapsedTimer m_sinceShown;
    QTimer m_repaintTimer;
    bool m_repaintHeld = false;
    QTextCursor m_batch; // holds the shared edit open; null when there is none

    QElapsedTimer m_sinceDoubleClick;
    QPoint m_doubleClickPoint;
};
