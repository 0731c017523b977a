#pragma once

#include "field/model/EditHistory.h"
#include "field/layout/TextCaret.h"

#include <QBasicTimer>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <vector>

class QAbstractScrollArea;
class QAction;
class QContextMenuEvent;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QInputMethodEvent;
class QInputMethodQueryEvent;
class QKeyEvent;
class QMouseEvent;
class ReaderWindow;
class TextFieldMimeData;
class TextLayout;
class TextView;

// What the user does to a field: keys, the mouse, the input method, the
// context menu, the clipboard and the primary selection, drag and drop, and
// the undo history of the edits they make. The field hands it the events of
// its own and of its viewport through processEvent() and paints what it says.
//
// It keeps the caret and the selection (two positions: selecting everything
// costs nothing until it is copied) and makes every edit of the user's, as
// one step of the history; a run of typing, of Backspaces or of Deletes is
// one step, and a caret move or an arrival ends it. After each edit it emits
// textChanged(), which the field passes on to the layout and the view.
//
// What an edit, an arrival or Clear let go of the text and its history goes
// back to the system releaseSliceBytes at a time, a slice a turn of the event
// loop, once the repaint the change asked for is done.
//
// Invariants:
// - the caret and the anchor are positions snapped() to the text, and the
//   layout knows the caret as where the preedit shows (place());
// - the caret and the anchor are marks of the store, so every edit, the
//   user's or an arrival, moves them with the text before the control places
//   them where the edit leaves them;
// - text lent to the clipboard, the primary selection or a drag is a
//   snapshot, which no edit changes.
class TextControl final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextControl)

public:
    // The system takes some 1.5 ms to take back a slice.
    static constexpr qsizetype releaseSliceBytes = qsizetype(16) << 20;

    TextControl(QAbstractScrollArea &field, TextStore &text, TextLayout &layout, TextView &view,
                ReaderWindow &reader);
    ~TextControl() override;

    // True when the event was the control's: keys, shortcut overrides, focus,
    // the input method and its queries, the context menu, and the mouse and
    // drag and drop on the viewport.
    bool processEvent(QEvent *event);

    // --- the caret and the selection
    qsizetype cursor() const { return m_text.mark(m_cursor); }
    qsizetype anchor() const { return m_text.mark(m_anchor); }
    qsizetype selectionStart() const { return std::min(cursor(), anchor()); }
    qsizetype selectionEnd() const { return std::max(cursor(), anchor()); }
    bool hasSelection() const { return cursor() != anchor(); }
    void setSelection(qsizetype anchor, qsizetype cursor);
    // Replaces [from, to) with the text as the user's own edit and puts the
    // caret after it; false, with nothing changed, when it would not fit.
    bool replace(qsizetype from, qsizetype to, QStringView text,
                 EditHistory::Run run = EditHistory::Run::None);
    bool canUndo() const { return m_history.canUndo(); }
    bool canRedo() const { return m_history.canRedo(); }

    // --- what paint shows
    bool caretShown() const { return m_caretShown; }
    // Where a drop would go, shown as a second caret; -1 when none.
    qsizetype dropCaret() const { return m_dropCaret; }

    // --- what the field does to the text itself
    // Text arrived at the end: the caret goes there with nothing selected, and
    // the history makes room for it.
    void textAppended();
    // Before Clear: nothing can be undone.
    void aboutToClear();
    // After Clear: the caret is at 0, and the view shows it.
    void cleared();

    // --- the owner's switches
    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    void setSaveAsEnabled(bool enabled) { m_saveAsEnabled = enabled; }
    bool isSaveAsEnabled() const { return m_saveAsEnabled; }
    void addMenuAction(QAction *action) { m_menuActions.append(action); }

Q_SIGNALS:
    void textChanged(qsizetype from, qsizetype removed, qsizetype inserted);
    void saveAsRequested();

public Q_SLOTS:
    void selectAll();
    void copy();
    void cut();
    void paste();
    void undo();
    void redo();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // A selection too big for an input method to want it whole, and the most
    // of what an edit removed that screen readers hear.
    static constexpr qsizetype maxQueriedText = 4096;

    // --- edits and the caret (TextControl.cpp)
    // Where the caret and the anchor stand; every change of either goes here.
    void place(qsizetype anchor, qsizetype cursor);
    // The user put the anchor and the caret there: the run of typing ends,
    // and the view shows the caret.
    void moveCaret(qsizetype anchor, qsizetype cursor);
    // Tells the input method and screen readers where the caret is now.
    void caretMoved();
    qsizetype target(CaretMotion motion);
    void moveCursor(CaretMotion motion, bool select);
    void deleteSelection();
    void removeBackward();
    void removeForward();
    void insertTyped(QStringView text, EditHistory::Run run = EditHistory::Run::None);
    void undoOrRedo(bool undo);
    // Shows an edit the history made: the caret goes after the inserted text,
    // screen readers hear of it. The removed text is at most its beginning.
    void edited(qsizetype from, qsizetype removed, qsizetype inserted, const QString &removedText);
    void restartBlink();
    void focusChanged(bool in);
    // Starts handing back what the text dropped, when it dropped any.
    void releaseLater();
    void releaseSlice();

    // --- keys, the input method and the context menu (TextControlKeys.cpp)
    bool takesShortcut(const QKeyEvent *key) const;
    void keyPressEvent(QKeyEvent *event);
    void contextMenuEvent(QContextMenuEvent *event);
    void inputMethodEvent(QInputMethodEvent *event);
    void answer(QInputMethodQueryEvent *query);
    QVariant inputMethodQuery(Qt::InputMethodQuery query);

    // --- the mouse, copies, the primary selection, drag and drop (TextControlTransfer.cpp)
    void mousePressEvent(QMouseEvent *event);
    void mouseMoveEvent(QMouseEvent *event);
    void mouseReleaseEvent(QMouseEvent *event);
    void mouseDoubleClickEvent(QMouseEvent *event);
    void dragEnterEvent(QDragEnterEvent *event);
    void dragMoveEvent(QDragMoveEvent *event);
    void dropEvent(QDropEvent *event);
    // A snapshot of [from, to) for the clipboard or a drag.
    TextFieldMimeData *lend(qsizetype from, qsizetype to);
    // The selection becomes the primary selection, where the system has one.
    void offerSelection();
    void pasteSelectionAt(QPoint viewportPoint);
    void startDrag();
    // Moves [from, to) to `at` as one edit.
    void moveText(qsizetype from, qsizetype to, qsizetype at);
    void showDropCaret(qsizetype position);
    void startAutoScroll(QPoint viewportPoint, bool dropping);
    void autoScrollStep();

    QAbstractScrollArea &m_field;
    TextStore &m_text;
    TextLayout &m_layout;
    TextView &m_view;
    ReaderWindow &m_reader;
    EditHistory m_history { m_text };

    const TextStore::Mark m_cursor = m_text.addMark();
    const TextStore::Mark m_anchor = m_text.addMark();
    qreal m_desiredX = -1; // where up and down keep the caret, from the text's left; < 0 when unset

    QBasicTimer m_blink;
    bool m_caretShown = true;

    // Mouse selection: a double click selects words, a third click the line.
    bool m_dragging = false;
    ulong m_doubleClickTime = 0;
    QPoint m_doubleClickPoint;
    bool m_doubleClicked = false;

    bool m_mightDrag = false; // a press inside the selection, not yet a drag
    QPoint m_pressPoint;
    qsizetype m_dropCaret = -1;
    QBasicTimer m_autoScroll;
    QPoint m_autoScrollPoint;
    bool m_autoScrollDropping = false;

    QTimer m_releaseTimer;

    bool m_readOnly = false; // no middle-click paste, no drops
    bool m_saveAsEnabled = false;
    QList<QPointer<QAction>> m_menuActions;
};
