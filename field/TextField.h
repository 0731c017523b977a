#pragma once

#include "field/TextStore.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QTextLayout>
#include <QTimer>

#include <map>
#include <memory>

// An ordinary editable multi-line field over a TextStore: the receive log,
// which grows at the end to a thousand million characters, and the send box.
//
// Only what is on screen is laid out: one QTextLayout per visible paragraph,
// kept until the width, the font or that paragraph changes. The scroll bar
// counts paragraphs, and the top of the view is a paragraph and a visual line
// inside it, so nothing ever needs the height of the whole text. The caret and
// the selection are two positions; selecting everything costs nothing until
// it is copied.
//
// An append costs the size of the piece: it stores the piece, moves the caret
// and asks for one refresh. Under a flood the view scrolls and repaints at
// most once every repaintIntervalMs, and screen readers hear of arrivals at
// most once every announceIntervalMs.
//
// A clear or a large delete answers at once; the storage it dropped goes back
// to the system releaseSliceBytes at a time, one slice per turn of the event
// loop, so the window keeps answering meanwhile.
class TextField final : public QAbstractScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextField)

public:
    // Characters the log holds at most; a piece that would pass it is refused.
    static constexpr qsizetype capacity = qsizetype(1) << 30;
    static constexpr int repaintIntervalMs = 20;
    static constexpr int announceIntervalMs = 100;
    // The system takes some 1.5 ms to take back a slice.
    static constexpr qsizetype releaseSliceBytes = qsizetype(16) << 20;
    // Space between the text and the field's edges, as in Qt's own text fields.
    static constexpr int margin = 4;

    explicit TextField(QWidget *parent = nullptr);
    explicit TextField(const TextStore::Limits &limits, QWidget *parent = nullptr);
    ~TextField() override;

    // Appends the piece at the end, puts the caret there with nothing selected
    // and scrolls it into view. False, with the log unchanged, when full; once
    // a piece is refused every later one is too, until the log is cleared, so
    // the log always holds a gapless beginning of what arrived.
    bool appendPiece(const QString &piece);
    // The same for Latin-1 text (hex records, plain ASCII), stored as it is.
    bool appendPiece(QLatin1StringView piece);
    void clearLog();
    qsizetype length() const { return m_text.length(); }
    QString textBetween(qsizetype from, qsizetype to) const { return m_text.text(from, to); }
    QString text() const { return m_text.text(); }
    const TextStore &model() const { return m_text; }

    qsizetype cursorPosition() const { return m_cursor; }
    qsizetype anchorPosition() const { return m_anchor; }
    qsizetype selectionStart() const { return std::min(m_cursor, m_anchor); }
    qsizetype selectionEnd() const { return std::max(m_cursor, m_anchor); }
    bool hasSelection() const { return m_cursor != m_anchor; }
    void setSelection(qsizetype anchor, qsizetype cursor);
    // Replaces [from, to) with the text as the user's own edit and puts the
    // caret after it; false, with nothing changed, when it would not fit.
    bool replaceText(qsizetype from, qsizetype to, QStringView text);

    // In viewport coordinates. A position off screen gets a rectangle off it.
    QRect cursorRect() const;
    QRect characterRect(qsizetype position) const;
    qsizetype positionAt(QPoint viewportPoint,
                         QTextLine::CursorPosition at = QTextLine::CursorBetweenCharacters) const;
    // The line (between breaks, cuts ignored) and the word around a position.
    std::pair<qsizetype, qsizetype> lineAround(qsizetype position) const;
    std::pair<qsizetype, qsizetype> wordAround(qsizetype position) const;
    void ensureCursorVisible();

    // --- saving
    // Save As in the context menu and Ctrl+S ask the owner to save the text
    // through saveAsRequested(); off until the owner turns it on.
    void setSaveAsEnabled(bool enabled) { m_saveAsEnabled = enabled; }
    bool isSaveAsEnabled() const { return m_saveAsEnabled; }
    // While held, the user's edits are refused and the text changes only by
    // appends, so a save that reads it slice by slice sees what it began with.
    void holdEdits(bool held) { m_editsHeld = held; }
    bool editsHeld() const { return m_editsHeld; }

Q_SIGNALS:
    void saveAsRequested();

public Q_SLOTS:
    void selectAll();
    void copy();
    void cut();
    void paste();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

private:
    // A visual line: a paragraph and a line of its layout.
    struct Line
    {
        qsizetype paragraph = 0;
        qsizetype line = 0;
        friend bool operator==(const Line &, const Line &) = default;
        friend bool operator<(const Line &a, const Line &b)
        {
            return a.paragraph != b.paragraph ? a.paragraph < b.paragraph : a.line < b.line;
        }
    };
    struct Laid
    {
        TextStore::Paragraph paragraph;
        QTextLayout layout;
    };
    enum class Motion {
        NextChar,
        PreviousChar,
        NextWord,
        PreviousWord,
        NextLine,
        PreviousLine,
        NextPage,
        PreviousPage,
        StartOfLine,
        EndOfLine,
        StartOfText,
        EndOfText,
    };

    template<typename View>
    bool appendView(View piece);

    // --- layout and scrolling (TextField.cpp)
    const Laid &laid(qsizetype paragraph) const;
    qsizetype lineCount(qsizetype paragraph) const;
    qreal wrapWidth() const;
    int lineHeight() const { return m_lineHeight; }
    // Lines that fit whole in the viewport, at least one.
    qsizetype pageLines() const;
    Line moved(Line from, qsizetype lines) const;
    // Lines from `from` down to `to`, counting no further than `limit`.
    qsizetype linesBetween(Line from, Line to, qsizetype limit) const;
    Line lineOf(qsizetype position) const;
    qsizetype positionOnLine(Line line, qreal x,
                             QTextLine::CursorPosition at
                             = QTextLine::CursorBetweenCharacters) const;
    qreal xOf(qsizetype position) const;
    QRect caretRectAt(qsizetype position) const;
    // The top line of the view that shows the end of the text at the bottom.
    Line endTop() const;
    void scrollTo(Line top);
    void scrollByLines(qsizetype lines);
    // Brings the scroll bar, the end of the text and the view in line with the
    // text; appends leave that for later so that a flood costs one of it.
    void settle() const;
    void scheduleRefresh();
    void refresh();
    void syncScrollBar() const;
    void dropLayouts();
    void fontChanged();
    // Starts handing back what the text dropped, when it dropped any.
    void releaseLater();
    void releaseSlice();

    // --- editing and caret (TextFieldInput.cpp)
    void moveCursor(Motion motion, bool select);
    qsizetype target(Motion motion) const;
    void moveCaret(qsizetype position, bool select);
    void cursorMoved();
    void removeBackward();
    void removeForward();
    void insertTyped(QStringView text);
    void deleteSelection();
    void restartBlink();
    qsizetype snapped(qsizetype position) const;

    // --- screen readers (TextFieldAccessible.cpp)
    void announceArrivals();
    // The removed text is at most its beginning.
    void announceEdit(qsizetype at, const QString &removed, qsizetype inserted);

    TextStore m_text;
    bool m_full = false;

    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    qreal m_desiredX = -1; // where up and down keep the caret; < 0 when unset

    mutable Line m_top;
    mutable Line m_endTop;
    mutable bool m_endDirty = true;
    mutable bool m_revealPending = false;
    mutable bool m_syncingBar = false;
    int m_lineHeight = 1;
    int m_wheelRemainder = 0;

    mutable std::map<qsizetype, std::unique_ptr<Laid>> m_layouts;
    mutable qreal m_laidWidth = -1; // the width the layouts were made for

    QTimer m_refreshTimer;
    QElapsedTimer m_sinceRefresh;

    QBasicTimer m_blink;
    bool m_caretShown = true;
    QString m_preedit;

    // Mouse selection: a double click selects words, a third click the line.
    bool m_dragging = false;
    ulong m_doubleClickTime = 0;
    QPoint m_doubleClickPoint;
    bool m_doubleClicked = false;

    // Arrivals not yet told to screen readers start here; -1 when none wait.
    qsizetype m_unannouncedFrom = -1;
    QTimer m_announceTimer;

    QTimer m_releaseTimer;

    // --- saving
    bool m_saveAsEnabled = false;
    bool m_editsHeld = false;
};
