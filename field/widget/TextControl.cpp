// What the user's edits do, where the caret goes, and the events the control
// takes from the field.
#include "field/widget/TextControl.h"
#include "field/layout/TextLayout.h"
#include "field/model/TextDocument.h"
#include "field/transfer/TextFieldMimeData.h"
#include "field/widget/TextGeometry.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QStyleHints>

#include <optional>
#include <utility>

TextControl::TextControl(TextDocument &document, TextLayout &layout, TextGeometry &geometry)
    : m_document(document)
    , m_text(document.text())
    , m_layout(layout)
    , m_geometry(geometry)
    , m_cursor(document.addMark())
    , m_anchor(document.addMark())
{ }

TextControl::~TextControl()
{
    m_document.removeMark(m_cursor);
    m_document.removeMark(m_anchor);
}

qsizetype TextControl::cursor() const
{
    return m_text.mark(m_cursor);
}

qsizetype TextControl::anchor() const
{
    return m_text.mark(m_anchor);
}

bool TextControl::canUndo() const
{
    return m_document.history().canUndo();
}

bool TextControl::canRedo() const
{
    return m_document.history().canRedo();
}

bool TextControl::processEvent(QEvent *event, QWidget *viewport)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Keys the field handles itself must not be taken by shortcuts around it.
        if (!takesShortcut(static_cast<QKeyEvent *>(event)))
            return false;
        event->accept();
        return true;
    case QEvent::KeyPress:
        keyPressEvent(static_cast<QKeyEvent *>(event), viewport);
        return true;
    case QEvent::FocusIn:
    case QEvent::FocusOut:
        focusChanged(event->type() == QEvent::FocusIn);
        return true;
    case QEvent::InputMethod:
        inputMethodEvent(static_cast<QInputMethodEvent *>(event));
        return true;
    case QEvent::ContextMenu:
        contextMenuEvent(static_cast<QContextMenuEvent *>(event), viewport);
        return true;
    case QEvent::MouseButtonPress:
        mousePressEvent(static_cast<QMouseEvent *>(event));
        return true;
    case QEvent::MouseMove:
        mouseMoveEvent(static_cast<QMouseEvent *>(event), viewport);
        return true;
    case QEvent::MouseButtonRelease:
        mouseReleaseEvent(static_cast<QMouseEvent *>(event));
        return true;
    case QEvent::MouseButtonDblClick:
        mouseDoubleClickEvent(static_cast<QMouseEvent *>(event));
        return true;
    case QEvent::DragEnter:
        dragEnterEvent(static_cast<QDragEnterEvent *>(event));
        return true;
    case QEvent::DragMove:
        dragMoveEvent(static_cast<QDragMoveEvent *>(event), viewport);
        return true;
    case QEvent::DragLeave:
        m_autoScroll.stop();
        showDropCaret(-1);
        return true;
    case QEvent::Drop:
        dropEvent(static_cast<QDropEvent *>(event), viewport);
        return true;
    default:
        return false;
    }
}

bool TextControl::replace(qsizetype from, qsizetype to, QStringView text, EditHistory::Run run)
{
    return m_document.replace(from, to, text, run);
}

void TextControl::setReadOnly(bool readOnly)
{
    m_readOnly = readOnly;
    if (!readOnly)
        return;
    // A composition under way can no longer be committed: it goes.
    showDropCaret(-1);
    if (!m_layout.preedit().isEmpty()) {
        m_layout.setPreedit(cursor(), {});
        Q_EMIT updateRequest({});
    }
}

void TextControl::undo()
{
    undoOrRedo(true);
}

void TextControl::redo()
{
    undoOrRedo(false);
}

void TextControl::undoOrRedo(bool undo)
{
    if (m_readOnly || !(undo ? canUndo() : canRedo()))
        return;
    // Refused only when what it would bring back no longer fits beside what arrived since.
    if (!(undo ? m_document.undo() : m_document.redo()))
        QApplication::beep();
}

void TextControl::textChanged(const TextChange &change)
{
    if (change.cause == TextChange::Cause::Edit) {
        // As in Qt's own fields, the caret goes after the text put in, nothing selected.
        const qsizetype caret = snapped(m_text, change.from + change.inserted);
        place(caret, caret);
        m_desiredX = -1;
        caretMoved();
        Q_EMIT visibilityRequest(cursor());
        restartBlink();
        Q_EMIT updateRequest({});
    } else if (change.cause == TextChange::Cause::Clear) {
        place(0, 0);
        Q_EMIT updateRequest({});
        caretMoved();
    } else if (cursor() > change.from || anchor() > change.from) {
        // Someone else's text went in before the caret and carried it along,
        // as the store moves every mark: the composition goes with it. The
        // owner says whether the caret should be anywhere else, and the view
        // repaints the change at its own pace.
        place(anchor(), cursor());
        m_desiredX = -1;
    }
}

void TextControl::place(qsizetype anchor, qsizetype cursor)
{
    m_document.setMark(m_anchor, anchor);
    m_document.setMark(m_cursor, cursor);
    // The input method's composition shows at the caret.
    m_layout.setPreedit(cursor, m_layout.preedit());
}

void TextControl::setSelection(qsizetype anchor, qsizetype cursor)
{
    moveCaret(snapped(m_text, anchor), snapped(m_text, cursor));
}

void TextControl::moveCaret(qsizetype anchor, qsizetype cursor)
{
    m_document.endRun();
    place(anchor, cursor);
    Q_EMIT visibilityRequest(cursor);
    restartBlink();
    Q_EMIT updateRequest({});
    caretMoved();
}

void TextControl::selectAll()
{
    m_document.endRun();
    // Two positions: the text itself is only read when copied.
    place(0, m_text.length());
    m_desiredX = -1;
    Q_EMIT updateRequest({});
    caretMoved();
}

void TextControl::copy()
{
    // Nothing is read yet: the text is made when it is asked for.
    if (hasSelection())
        QGuiApplication::clipboard()->setMimeData(lend(selectionStart(), selectionEnd()));
}

void TextControl::cut()
{
    if (m_readOnly)
        return;
    copy();
    deleteSelection();
}

void TextControl::paste()
{
    if (m_readOnly)
        return;
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    if (mime && mime->hasText())
        insertTyped(mime->text());
}

void TextControl::deleteSelection()
{
    if (!m_readOnly && hasSelection())
        replace(selectionStart(), selectionEnd(), {});
}

void TextControl::insertTyped(QStringView text, EditHistory::Run run)
{
    if (m_readOnly)
        return;
    if (!replace(selectionStart(), selectionEnd(), text, run))
        QApplication::beep();
}

void TextControl::removeBackward()
{
    if (m_readOnly)
        return;
    if (hasSelection())
        deleteSelection();
    else
        replace(target(CaretMotion::PreviousChar), cursor(), {}, EditHistory::Run::Backspace);
}

void TextControl::removeForward()
{
    if (m_readOnly)
        return;
    if (hasSelection())
        deleteSelection();
    else
        replace(cursor(), target(CaretMotion::NextChar), {}, EditHistory::Run::Delete);
}

void TextControl::removeWord(bool forward)
{
    if (m_readOnly)
        return;
    if (hasSelection())
        deleteSelection();
    else if (forward)
        replace(cursor(), target(CaretMotion::NextWord), {});
    else
        replace(target(CaretMotion::PreviousWord), cursor(), {});
}

qsizetype TextControl::target(CaretMotion motion)
{
    return caretTarget(m_layout, m_text, motion, cursor(), m_desiredX, m_geometry.pageLines());
}

void TextControl::moveCursor(CaretMotion motion, bool select)
{
    const bool vertical = motion == CaretMotion::NextLine || motion == CaretMotion::PreviousLine
                          || motion == CaretMotion::NextPage || motion == CaretMotion::PreviousPage;
    if (vertical && m_desiredX < 0)
        m_desiredX = m_layout.xOf(cursor());
    qsizetype to = target(motion);
    // Left and right without Shift first drop the selection at its edge.
    if (!select && hasSelection() && motion == CaretMotion::PreviousChar)
        to = selectionStart();
    else if (!select && hasSelection() && motion == CaretMotion::NextChar)
        to = selectionEnd();
    if (motion == CaretMotion::NextPage || motion == CaretMotion::PreviousPage)
        Q_EMIT scrollRequest(motion == CaretMotion::NextPage ? m_geometry.pageLines()
                                                             : -m_geometry.pageLines());
    const qreal keptX = m_desiredX;
    to = snapped(m_text, to);
    moveCaret(select ? anchor() : to, to);
    m_desiredX = vertical ? keptX : -1;
}

void TextControl::restartBlink()
{
    m_caretShown = true;
    const int flashTime = QGuiApplication::styleHints()->cursorFlashTime();
    if (m_hasFocus && flashTime >= 2)
        m_blink.start(flashTime / 2, this);
    else
        m_blink.stop();
}

void TextControl::focusChanged(bool in)
{
    m_hasFocus = in;
    if (in) {
        restartBlink();
    } else {
        m_blink.stop();
        m_caretShown = false;
    }
    Q_EMIT updateRequest({});
}

void TextControl::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_autoScroll.timerId()) {
        autoScrollStep();
        return;
    }
    if (event->timerId() != m_blink.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_caretShown = !m_caretShown;
    Q_EMIT updateRequest(m_geometry.caretRect(cursor()).adjusted(-2, 0, 2, 0));
}
