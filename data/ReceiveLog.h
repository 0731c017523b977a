#pragma once

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>

// The receive log: an ordinary editable text field that received pieces are
// appended to at the end, at a cost that does not grow with the log's size.
//
// The text layout redoes a whole paragraph whenever it changes, so text that
// never breaks its line would make every append slower than the last. The log
// therefore cuts lines longer than maxLineChunk into paragraphs of its own,
// marked as soft breaks: they wrap like the rest of the line, and copying or
// reading the log's text leaves them out.
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
    // Every line is a paragraph of the document, about a hundred bytes
    // whatever its length: empty lines must not fill memory before
    // characters do. A log full of hex records (67 characters a line) fits.
    static constexpr int maxParagraphs = 256 * 1024;
    static constexpr qsizetype maxLineChunk = 2048;
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

private:
    void insertLine(QTextCursor &cursor, QStringView line);
    bool fits(QStringView text, qsizetype end) const;
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
};
