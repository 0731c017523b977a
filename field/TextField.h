#pragma once

#include "field/EditHistory.h"
#include "field/TextStore.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QFont>
#include <QList>
#include <QPointer>
#include <QTextLayout>
#include <QTimer>

#include <map>
#include <memory>
#include <vector>

class FindBar;
class QPainter;
class TextFieldMimeData;

// An ordinary editable multi-line field over a TextStore: the receive log,
// which grows at the end to a thousand million characters, and the send box.
//
// Only what is on screen is laid out: one QTextLayout per visible paragraph,
// kept until the width, the font or that paragraph changes. A line longer than
// a paragraph wraps as if it were laid out whole: the layout of a paragraph
// that goes on with a line starts where the visual line holding the cut
// starts. The top of the view is a paragraph and a visual line inside it, so
// nothing ever needs the height of the whole text; the scroll bar counts visual
// lines, estimated where they are not laid out, and its steps move by lines
// that are laid out. The caret and
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
    // caret after it; false, with nothing changed, when it would not fit. The
    // edit is a step of its own for undo unless it goes on a run of typing,
    // Backspaces or Deletes.
    bool replaceText(qsizetype from, qsizetype to, QStringView text,
                     EditHistory::Run run = EditHistory::Run::None);
    bool canUndo() const { return m_history.canUndo(); }
    bool canRedo() const { return m_history.canRedo(); }

    // In viewport coordinates. A position off screen gets a rectangle off it.
    QRect cursorRect() const;
    QRect characterRect(qsizetype position) const;
    qsizetype positionAt(QPoint viewportPoint,
                         QTextLine::CursorPosition at = QTextLine::CursorBetweenCharacters) const;
    // The line (between breaks, cuts ignored) and the word around a position.
    std::pair<qsizetype, qsizetype> lineAround(qsizetype position) const;
    std::pair<qsizetype, qsizetype> wordAround(qsizetype position) const;
    void ensureCursorVisible();

    // --- screen readers
    // Screen readers see a window of the log at most readerWindow long around
    // the caret, so that no call of theirs costs the size of the log; their
    // offsets count from readerStart(). A log that fits is seen whole, from 0.
    static constexpr qsizetype readerWindow = qsizetype(256) * 1024;
    qsizetype readerStart() const { return std::min(m_readerStart, length()); }
    qsizetype readerLength() const { return std::min(length() - readerStart(), readerWindow); }
    // From the start of the top line shown to the end of the last one, in
    // positions of the text; cheap to ask again while the view stays as it is.
    std::pair<qsizetype, qsizetype> shownRange() const;

    // --- read-only: no middle-click paste, no drops
    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }

    // --- saving
    // Save As in the context menu and Ctrl+S ask the owner to save the text
    // through saveAsRequested(); off until the owner turns it on.
    void setSaveAsEnabled(bool enabled) { m_saveAsEnabled = enabled; }
    bool isSaveAsEnabled() const { return m_saveAsEnabled; }
    // --- modes the owner adds to the field (the send box's Send as Hex)
    // The owner's actions, offered at the end of the context menu; the owner
    // keeps them.
    void addMenuAction(QAction *action) { m_menuActions.append(action); }
    // A short word drawn in the field's top-right corner, over the text, while
    // not empty: it shows which mode is on. Changes no text.
    void setCornerMark(const QString &mark);
    QString cornerMark() const { return m_cornerMark; }

    // Room kept below the text, inside the field, for the find bar.
    void setBottomMargin(int pixels) { setViewportMargins(0, 0, 0, pixels); }

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
    void undo();
    void redo();

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

    // --- drag and drop (TextFieldTransfer.cpp)
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool viewportEvent(QEvent *event) override;

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
        qsizetype start = 0; // the text position of the layout's first unit
        qsizetype shown = 1; // its first lines, the ones this paragraph shows
        // Where the next paragraph's layout starts when the line goes on; -1 when
        // a break ends this paragraph or the text does.
        qsizetype nextStart = -1;
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

    // --- wrapping across cuts (TextField.cpp)
    // The chain of layout starts restarts every wrapWindow paragraphs of a line,
    // at a break opportunity, so that reaching any paragraph lays out at most
    // that many; lookahead is the text a layout reads past its cut first.
    static constexpr qsizetype wrapWindow = 8;
    static constexpr qsizetype lookahead = 1024;
    qsizetype layoutStart(qsizetype paragraph) const;
    bool restartsChain(qsizetype paragraph) const;
    qsizetype restartAt(qsizetype paragraph) const;
    void wrap(Laid &laid, qsizetype paragraph) const;
    void layOut(Laid &laid, qsizetype end, int preeditColumn = -1) const;
    // The paragraph whose layout shows the position.
    qsizetype shownParagraph(qsizetype position) const;
    // Where the positions a layout shows end; the caret may stand there too
    // when a break or the text's end follows.
    static qsizetype shownEnd(const Laid &laid);
    void dropCarries(qsizetype fromParagraph) const;
    mutable std::map<qsizetype, qsizetype> m_carries; // layout starts inside lines

    // --- scroll bar by visual lines (TextField.cpp)
    // Visual lines before a paragraph, laid out or not: an estimate from its
    // number and position; rows for the bar, exact at both ends.
    double rowsBefore(qsizetype paragraph) const;
    double rowOf(Line line) const;
    Line lineAtRow(double row) const;
    int barValue(Line line) const;
    void scrollBarAction(int action);
    void scrollBarMoved(int value);
    mutable double m_charsPerLine = 1;
    mutable double m_endRows = 0;     // rows before the top that shows the end
    mutable double m_rowsPerStep = 1; // above 1 when the rows pass what an int holds
    mutable int m_barMaximum = 0;

    // --- editing and caret (TextFieldInput.cpp)
    void moveCursor(Motion motion, bool select);
    qsizetype target(Motion motion) const;
    void moveCaret(qsizetype position, bool select);
    void cursorMoved();
    void removeBackward();
    void removeForward();
    void insertTyped(QStringView text, EditHistory::Run run = EditHistory::Run::None);
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

    // --- copies, the primary selection, drag and drop (TextFieldTransfer.cpp)
    // Text of [from, to) for the clipboard or a drag, read when asked for.
    TextFieldMimeData *lend(qsizetype from, qsizetype to);
    // Before an edit replaces [from, to) with `inserted` units: what was lent
    // of the text stays what it was.
    void keepLent(qsizetype from, qsizetype to, qsizetype inserted);
    void keepAllLent();
    // The selection becomes the primary selection, where the system has one.
    void offerSelection();
    void pasteSelectionAt(QPoint viewportPoint);
    void startDrag();
    // Moves [from, to) to `at` as one edit.
    void moveText(qsizetype from, qsizetype to, qsizetype at);
    void startAutoScroll(QPoint viewportPoint, bool dropping);
    void autoScrollStep();
    // The point brought onto the first or last whole line of the view.
    QPoint insideView(QPoint viewportPoint) const;
    void showDropCaret(qsizetype position);
    // Lays the caret's paragraph out again when its layout holds a preedit
    // that is no longer where the caret is.
    void forgetStalePreedit() const;

    std::vector<QPointer<TextFieldMimeData>> m_lent;
    bool m_readOnly = false;
    bool m_mightDrag = false; // a press inside the selection, not yet a drag
    QPoint m_pressPoint;
    qsizetype m_dropCaret = -1;
    QBasicTimer m_autoScroll;
    QPoint m_autoScrollPoint;
    bool m_autoScrollDropping = false;
    mutable qsizetype m_preeditParagraph = -1; // laid out with the preedit; -1 when none
    mutable qsizetype m_preeditAt = -1;
    mutable QString m_preeditLaid;

    // Arrivals not yet told to screen readers start here; -1 when none wait.
    qsizetype m_unannouncedFrom = -1;
    QTimer m_announceTimer;

    QTimer m_releaseTimer;

    // --- undo and redo (TextFieldInput.cpp)
    // Shows an edit made to the text: the view keeps its place, the caret goes
    // after the inserted text, screen readers hear of it. `topStart` is where
    // the top paragraph of the view started before it.
    void showEdit(qsizetype topStart, qsizetype from, qsizetype removed, qsizetype inserted,
                  const QString &removedText);
    void undoOrRedo(bool undo);

    EditHistory m_history { m_text };

    // --- screen readers: their window of the log, and what is shown
    // Moves the window to hold the caret, telling screen readers how their
    // text changed; arrivals not yet told stay out of it unless they are
    // being told.
    void moveReaderWindow(bool arrivals);
    qsizetype m_readerStart = 0;
    qsizetype m_readerLength = 0; // what screen readers were last told the window holds
    struct ShownKey
    {
        qsizetype length = -1;
        quint64 edits = 0;
        Line top;
        QSize viewport;
        int lineHeight = 0;
        qsizetype preedit = 0;
        QFont font;
    };
    mutable ShownKey m_shownKey;
    mutable std::pair<qsizetype, qsizetype> m_shown;

    // Opens the context menu where the caret is, for the Menu key and Shift+F10.
    void popupMenuAtCaret();
    void drawCornerMark(QPainter &painter) const;
    QList<QPointer<QAction>> m_menuActions;
    QString m_cornerMark;

    FindBar *m_findBar = nullptr; // a child, made by the first Ctrl+F

    // --- saving
    bool m_saveAsEnabled = false;
    bool m_editsHeld = false;
};
