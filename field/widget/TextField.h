#pragma once

#include "field/widget/ReaderWindow.h"
#include "field/widget/TextControl.h"
#include "field/layout/TextLayout.h"
#include "field/model/TextStore.h"
#include "field/widget/TextView.h"

#include <QAbstractScrollArea>

class FindBar;
class QAction;

// An ordinary editable multi-line field over a TextStore: the receive log,
// which grows at the end to a thousand million characters, and the send box.
//
// The widget holds the parts and passes between them:
// - TextStore, the text;
// - TextLayout, the text broken into visual lines, only where asked;
// - TextView, which lines are on screen and where things are on it;
// - TextControl, what the user does: keys, mouse, input method, clipboard,
//   drag and drop, undo; it keeps the caret and the selection;
// - ReaderWindow, what screen readers see and hear;
// - FindBar, made by the first Ctrl+F: the find bar drawn inside the field,
//   whose matches on screen the widget highlights.
// Every change of the text reaches the layout and the view through
// textChanged(); the widget paints what they and the control say.
//
// An append costs the size of the piece: it stores the piece, moves the caret
// and asks for one refresh. Under a flood the view scrolls and repaints at
// most once every repaintIntervalMs, and screen readers hear of arrivals at
// most once every announceIntervalMs. Appends leave the view unsettled until
// then; whatever asks about the screen settles it first, so those queries are
// not const.
//
// A clear or a large delete answers at once; the storage it dropped goes back
// to the system TextControl::releaseSliceBytes at a time, one slice per turn
// of the event loop, so the window keeps answering meanwhile.
class TextField final : public QAbstractScrollArea
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextField)

public:
    // Characters the log holds at most; a piece that would pass it is refused.
    static constexpr qsizetype capacity = qsizetype(1) << 30;
    static constexpr int repaintIntervalMs = TextView::repaintIntervalMs;
    static constexpr int announceIntervalMs = ReaderWindow::announceIntervalMs;
    static constexpr int margin = TextView::margin;

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

    // --- the caret, the selection and the user's edits (TextControl)
    qsizetype cursorPosition() const { return m_control.cursor(); }
    qsizetype anchorPosition() const { return m_control.anchor(); }
    qsizetype selectionStart() const { return m_control.selectionStart(); }
    qsizetype selectionEnd() const { return m_control.selectionEnd(); }
    bool hasSelection() const { return m_control.hasSelection(); }
    void setSelection(qsizetype anchor, qsizetype cursor)
    {
        m_control.setSelection(anchor, cursor);
    }
    // Replaces [from, to) with the text as the user's own edit and puts the
    // caret after it; false, with nothing changed, when it would not fit. The
    // edit is a step of its own for undo unless it goes on a run of typing,
    // Backspaces or Deletes.
    bool replaceText(qsizetype from, qsizetype to, QStringView text,
                     EditHistory::Run run = EditHistory::Run::None)
    {
        return m_control.replace(from, to, text, run);
    }
    bool canUndo() const { return m_control.canUndo(); }
    bool canRedo() const { return m_control.canRedo(); }

    // --- the screen (TextView), in viewport coordinates
    // A position off screen gets a rectangle off it.
    QRect cursorRect() { return m_view.caretRect(m_control.cursor()); }
    QRect characterRect(qsizetype position) { return m_view.characterRect(position); }
    qsizetype positionAt(QPoint viewportPoint,
                         QTextLine::CursorPosition at = QTextLine::CursorBetweenCharacters)
    {
        return m_view.positionAt(viewportPoint, at);
    }
    void ensureCursorVisible() { m_view.ensureVisible(m_control.cursor()); }
    // From the start of the top line shown to the end of the last one, in
    // positions of the text; cheap to ask again while the view stays as it is.
    std::pair<qsizetype, qsizetype> shownRange() { return m_view.shownRange(); }

    // --- screen readers (ReaderWindow): a window of the text around the caret
    static constexpr qsizetype readerWindow = ReaderWindow::size;
    qsizetype readerStart() const { return m_reader.start(); }
    qsizetype readerLength() const { return m_reader.length(); }

    // --- read-only: no middle-click paste, no drops
    bool isReadOnly() const { return m_control.isReadOnly(); }
    void setReadOnly(bool readOnly) { m_control.setReadOnly(readOnly); }

    // --- saving
    // Save As in the context menu and Ctrl+S ask the owner to save the text
    // through saveAsRequested(); off until the owner turns it on.
    void setSaveAsEnabled(bool enabled) { m_control.setSaveAsEnabled(enabled); }
    bool isSaveAsEnabled() const { return m_control.isSaveAsEnabled(); }
    // --- modes the owner adds to the field (the send box's Send as Hex)
    // The owner's actions, offered at the end of the context menu; the owner
    // keeps them.
    void addMenuAction(QAction *action) { m_control.addMenuAction(action); }
    // A short word drawn in the field's top-right corner, over the text, while
    // not empty: it shows which mode is on. Changes no text.
    void setCornerMark(const QString &mark);
    QString cornerMark() const { return m_cornerMark; }

    // Room kept below the text, inside the field, for the find bar.
    void setBottomMargin(int pixels) { setViewportMargins(0, 0, 0, pixels); }

Q_SIGNALS:
    void saveAsRequested();

public Q_SLOTS:
    void selectAll() { m_control.selectAll(); }
    void copy() { m_control.copy(); }
    void cut() { m_control.cut(); }
    void paste() { m_control.paste(); }
    void undo() { m_control.undo(); }
    void redo() { m_control.redo(); }

protected:
    // Keys, focus and the input method go to the control here, the mouse,
    // the wheel and drag and drop in viewportEvent().
    bool event(QEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    template<typename View>
    bool appendView(View piece);
    // Tells the layout and the view.
    void textChanged(qsizetype from, qsizetype removed, qsizetype inserted);
    void drawCornerMark(QPainter &painter) const;

    TextStore m_text;
    TextLayout m_layout { m_text };
    TextView m_view { m_text, m_layout, *this };
    ReaderWindow m_reader { *this, m_text };
    TextControl m_control { *this, m_text, m_layout, m_view, m_reader };
    bool m_full = false;
    QString m_cornerMark;
    FindBar *m_findBar = nullptr; // a child, made by the first Ctrl+F
};
