#pragma once

#include "field/layout/TextCaret.h"
#include "field/model/EditHistory.h"

#include <QBasicTimer>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <vector>

class QAction;
class QContextMenuEvent;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QInputMethodEvent;
class QKeyEvent;
class QMouseEvent;
class QWidget;
class TextDocument;
class TextFieldMimeData;
class TextGeometry;
class TextLayout;
struct TextChange;

// What the user does to a field: keys, the mouse, the input method, the
// context menu, the clipboard and the primary selection, drag and drop, and
// the undo history of the edits they make. It holds no widget and no view:
// the field hands it each event of its own and of its viewport through
// processEvent(), with the viewport as the widget the event concerns (a
// menu's parent, a drag's source), it asks where things are on screen
// through a TextGeometry, and it reports back through signals, which the
// field connects to the view and the screen readers' window: updateRequest()
// to repaint, visibilityRequest() and scrollRequest() to move the view,
// cursorPositionChanged() when it put the caret somewhere.
//
// Read-only, it still moves the caret, selects and copies, but takes no
// edit of the user's: no typing, input method commits, paste (keys, menu,
// middle click, drops), cut, delete, undo or redo.
//
// It keeps the caret and the selection (two positions: selecting everything
// costs nothing until it is copied) and asks the document for every edit of
// the user's, as one step of the history; a run of typing, of Backspaces or
// of Deletes is one step, and a caret move or an arrival ends it. Like the
// field's other parts it learns what changed from the document's one
// announcement, textChanged(), and places the caret where the user's edit
// leaves it; text put in by someone else moves the caret and the anchor only
// as it moves any mark, and the owner places them after if it wants.
//
// Invariants:
// - the caret and the anchor are positions snapped() to the text, and the
//   layout knows the caret as where the preedit shows (place());
// - the caret and the anchor are marks of the store, so every change, the
//   user's or an arrival, moves them with the text; after the user's edit
//   the control then places them where the edit leaves them;
// - text lent to the clipboard, the primary selection or a drag is a
//   snapshot, which no edit changes.
class TextControl final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextControl)

public:
    TextControl(TextDocument &document, TextLayout &layout, TextGeometry &geometry);
    ~TextControl() override;

    // True when the event was the control's: keys, shortcut overrides, focus,
    // the input method, the context menu, and the mouse and drag and drop on
    // the viewport, which is the widget they concern.
    bool processEvent(QEvent *event, QWidget *viewport);
    // The input method's questions, in the viewport's coordinates; an
    // invalid answer for those the widget answers itself.
    QVariant inputMethodQuery(Qt::InputMethodQuery query);
    // What the document announced: after the user's edit the caret goes
    // where it leaves it.
    void textChanged(const TextChange &change);

    // --- the caret and the selection
    qsizetype cursor() const;
    qsizetype anchor() const;
    qsizetype selectionStart() const { return std::min(cursor(), anchor()); }
    qsizetype selectionEnd() const { return std::max(cursor(), anchor()); }
    bool hasSelection() const { return cursor() != anchor(); }
    void setSelection(qsizetype anchor, qsizetype cursor);
    // Replaces [from, to) with the text as the user's own edit and puts the
    // caret after it; false, with nothing changed, when it would not fit.
    bool replace(qsizetype from, qsizetype to, QStringView text,
                 EditHistory::Run run = EditHistory::Run::None);
    bool canUndo() const;
    bool canRedo() const;

    // --- what paint shows
    bool caretShown() const { return m_caretShown; }
    // Where a drop would go, shown as a second caret; -1 when none.
    qsizetype dropCaret() const { return m_dropCaret; }

    // --- the owner's switches
    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly);
    // The owner's actions, offered at the end of the context menu; their
    // shortcuts work while the field has focus. The owner keeps them.
    void addMenuAction(QAction *action) { m_menuActions.append(action); }

Q_SIGNALS:
    // Repaint that part of the viewport; all of it when the rectangle is null.
    void updateRequest(const QRect &rect);
    // Bring the position into view now.
    void visibilityRequest(qsizetype position);
    // Scroll the view by that many lines, down when positive.
    void scrollRequest(qsizetype lines);
    // The control put the caret or the anchor somewhere: the input method
    // and screen readers ask again.
    void cursorPositionChanged(qsizetype cursor, qsizetype anchor);

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
    // A selection too big for an input method to want it whole.
    static constexpr qsizetype maxQueriedText = 4096;

    // --- edits and the caret (TextControl.cpp)
    // Where the caret and the anchor stand; every change of either goes here.
    void place(qsizetype anchor, qsizetype cursor);
    // The user put the anchor and the caret there: the run of typing ends,
    // and the view shows the caret.
    void moveCaret(qsizetype anchor, qsizetype cursor);
    void caretMoved() { Q_EMIT cursorPositionChanged(cursor(), anchor()); }
    qsizetype target(CaretMotion motion);
    void moveCursor(CaretMotion motion, bool select);
    void deleteSelection();
    void removeBackward();
    void removeForward();
    // Ctrl+Delete and Ctrl+Backspace: the selection, or to the word's edge.
    void removeWord(bool forward);
    void insertTyped(QStringView text, EditHistory::Run run = EditHistory::Run::None);
    void undoOrRedo(bool undo);
    void restartBlink();
    void focusChanged(bool in);

    // --- keys, the input method and the context menu (TextControlKeys.cpp)
    bool takesShortcut(const QKeyEvent *key) const;
    void keyPressEvent(QKeyEvent *event, QWidget *viewport);
    // An owner's action whose shortcut the key is, triggered; false when none.
    bool triggerMenuShortcut(const QKeyEvent *key);
    void contextMenuEvent(QContextMenuEvent *event, QWidget *viewport);
    void inputMethodEvent(QInputMethodEvent *event);

    // --- the mouse, copies, the primary selection, drag and drop (TextControlTransfer.cpp)
    void mousePressEvent(QMouseEvent *event);
    void mouseMoveEvent(QMouseEvent *event, QWidget *viewport);
    void mouseReleaseEvent(QMouseEvent *event);
    void mouseDoubleClickEvent(QMouseEvent *event);
    void dragEnterEvent(QDragEnterEvent *event);
    void dragMoveEvent(QDragMoveEvent *event, const QWidget *viewport);
    void dropEvent(QDropEvent *event, const QWidget *viewport);
    // A snapshot of [from, to) for the clipboard or a drag.
    TextFieldMimeData *lend(qsizetype from, qsizetype to);
    // The selection becomes the primary selection, where the system has one.
    void offerSelection();
    void pasteSelectionAt(QPoint viewportPoint);
    void startDrag(QWidget *viewport);
    // Moves [from, to) to `at` as one edit.
    void moveText(qsizetype from, qsizetype to, qsizetype at);
    void showDropCaret(qsizetype position);
    void startAutoScroll(QPoint viewportPoint, bool dropping);
    void autoScrollStep();

    TextDocument &m_document;
    const TextStore &m_text;
    TextLayout &m_layout;
    TextGeometry &m_geometry;

    const TextStore::Mark m_cursor;
    const TextStore::Mark m_anchor;
    qreal m_desiredX = -1; // where up and down keep the caret, from the text's left; < 0 when unset

    bool m_hasFocus = false; // as the focus events said
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

    bool m_readOnly = false;
    QList<QPointer<QAction>> m_menuActions;
};
