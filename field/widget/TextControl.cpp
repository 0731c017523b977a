// What the user's edits do, where the caret goes, and the events the control
// takes from the field.
#include "field/widget/TextControl.h"
#include "field/widget/ReaderWindow.h"
#include "field/transfer/TextFieldMimeData.h"
#include "field/layout/TextLayout.h"
#include "field/widget/TextView.h"

#include <QAbstractScrollArea>
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

TextControl::TextControl(QAbstractScrollArea &field, TextStore &text, TextLayout &layout,
                         TextView &view, ReaderWindow &reader)
    : m_field(field)
    , m_text(text)
    , m_layout(layout)
    , m_view(view)
    , m_reader(reader)
{
    // Each slice waits for the events already queued, the repaint of the
    // emptied view first among them.
    m_releaseTimer.setInterval(0);
    connect(&m_releaseTimer, &QTimer::timeout, this, &TextControl::releaseSlice);
}

TextControl::~TextControl()
{
    m_text.removeMark(m_cursor);
    m_text.removeMark(m_anchor);
}

bool TextControl::processEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Keys the field handles itself must not be taken by shortcuts around it.
        if (!takesShortcut(static_cast<QKeyEvent *>(event)))
            return false;
        event->accept();
        return true;
    case QEvent::KeyPress:
        keyPressEvent(static_cast<QKeyEvent *>(event));
        return true;
    case QEvent::FocusIn:
    case QEvent::FocusOut:
        focusChanged(event->type() == QEvent::FocusIn);
        return true;
    case QEvent::InputMethod:
        inputMethodEvent(static_cast<QInputMethodEvent *>(event));
        return true;
    case QEvent::InputMethodQuery:
        answer(static_cast<QInputMethodQueryEvent *>(event));
        return true;
    case QEvent::ContextMenu:
        contextMenuEvent(static_cast<QContextMenuEvent *>(event));
        return true;
    case QEvent::MouseButtonPress:
        mousePressEvent(static_cast<QMouseEvent *>(event));
        return true;
    case QEvent::MouseMove:
        mouseMoveEvent(static_cast<QMouseEvent *>(event));
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
        dragMoveEvent(static_cast<QDragMoveEvent *>(event));
        return true;
    case QEvent::DragLeave:
        m_autoScroll.stop();
        showDropCaret(-1);
        return true;
    case QEvent::Drop:
        dropEvent(static_cast<QDropEvent *>(event));
        return true;
    default:
        return false;
    }
}

bool TextControl::replace(qsizetype from, qsizetype to, QStringView text, EditHistory::Run run)
{
    m_view.settle();
    from = std::clamp<qsizetype>(from, 0, m_text.length());
    to = std::clamp<qsizetype>(to, 0, m_text.length());
    if (to < from)
        std::swap(from, to);
    if (text.size() > m_text.limits().capacity - (m_text.length() - (to - from)))
        return false;
    if (from == to && text.isEmpty())
        return true;
    const QString removed = m_text.text(from, std::min(to, from + maxQueriedText));
    if (!m_history.replace(from, to, text, run))
        return false;
    edited(from, to - from, text.size(), removed);
    return true;
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
    m_view.settle();
    const std::optional<EditHistory::Step> step
            = undo ? m_history.nextUndo() : m_history.nextRedo();
    if (!step)
        return;
    const QString removed
            = m_text.text(step->at, step->at + std::min(step->removed, maxQueriedText));
    // Refused only when what it would bring back no longer fits beside what arrived since.
    if (!(undo ? m_history.undo() : m_history.redo())) {
        QApplication::beep();
        return;
    }
    // As in Qt's own fields, the caret goes after the text brought back, nothing selected.
    edited(step->at, step->removed, step->inserted, removed);
}

void TextControl::edited(qsizetype from, qsizetype removed, qsizetype inserted,
                         const QString &removedText)
{
    Q_EMIT textChanged(from, removed, inserted);
    const qsizetype caret = snapped(m_text, from + inserted);
    place(caret, caret);
    m_desiredX = -1;
    m_reader.edited(from, removedText, inserted);
    caretMoved();
    m_view.ensureVisible(cursor());
    restartBlink();
    m_field.viewport()->update();
    releaseLater();
}

void TextControl::textAppended()
{
    place(m_text.length(), m_text.length());
    m_desiredX = -1;
    // An arrival ends a run of typing, and the history makes room for it.
    m_history.textGrew();
    releaseLater();
}

void TextControl::aboutToClear()
{
    // Clear is final: nothing it emptied can be undone.
    m_history.clear();
}

void TextControl::cleared()
{
    place(0, 0);
    m_view.settle();
    m_field.viewport()->update();
    caretMoved();
    releaseLater();
}

void TextControl::releaseLater()
{
    if (m_text.hasMemoryToRelease() && !m_releaseTimer.isActive())
        m_releaseTimer.start();
}

void TextControl::releaseSlice()
{
    if (!m_text.releaseMemory(releaseSliceBytes))
        m_releaseTimer.stop();
}

void TextControl::place(qsizetype anchor, qsizetype cursor)
{
    m_text.setMark(m_anchor, anchor);
    m_text.setMark(m_cursor, cursor);
    // The input method's composition shows at the caret.
    m_layout.setPreedit(cursor, m_layout.preedit());
}

void TextControl::setSelection(qsizetype anchor, qsizetype cursor)
{
    m_view.settle();
    moveCaret(snapped(m_text, anchor), snapped(m_text, cursor));
}

void TextControl::moveCaret(qsizetype anchor, qsizetype cursor)
{
    m_history.endRun();
    place(anchor, cursor);
    m_view.ensureVisible(cursor);
    restartBlink();
    m_field.viewport()->update();
    caretMoved();
}

void TextControl::caretMoved()
{
    if (m_field.hasFocus())
        QGuiApplication::inputMethod()->update(Qt::ImQueryInput);
    m_reader.caretMoved(cursor(), anchor());
}

void TextControl::selectAll()
{
    m_history.endRun();
    // Two positions: the text itself is only read when copied.
    place(0, m_text.length());
    m_desiredX = -1;
    m_field.viewport()->update();
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
    copy();
    deleteSelection();
}

void TextControl::paste()
{
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    if (mime && mime->hasText())
        insertTyped(mime->text());
}

void TextControl::deleteSelection()
{
    if (hasSelection())
        replace(selectionStart(), selectionEnd(), {});
}

void TextControl::insertTyped(QStringView text, EditHistory::Run run)
{
    if (!replace(selectionStart(), selectionEnd(), text, run))
        QApplication::beep();
}

void TextControl::removeBackward()
{
    if (hasSelection())
        deleteSelection();
    else
        replace(target(CaretMotion::PreviousChar), cursor(), {}, EditHistory::Run::Backspace);
}

void TextControl::removeForward()
{
    if (hasSelection())
        deleteSelection();
    else
        replace(cursor(), target(CaretMotion::NextChar), {}, EditHistory::Run::Delete);
}

qsizetype TextControl::target(CaretMotion motion)
{
    m_view.settle();
    return caretTarget(m_layout, m_text, motion, cursor(), m_desiredX, m_view.pageLines());
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
        m_view.scrollByLines(motion == CaretMotion::NextPage ? m_view.pageLines()
                                                             : -m_view.pageLines());
    const qreal keptX = m_desiredX;
    to = snapped(m_text, to);
    moveCaret(select ? anchor() : to, to);
    m_desiredX = vertical ? keptX : -1;
}

void TextControl::restartBlink()
{
    m_caretShown = true;
    const int flashTime = QGuiApplication::styleHints()->cursorFlashTime();
    if (m_field.hasFocus() && flashTime >= 2)
        m_blink.start(flashTime / 2, this);
    else
        m_blink.stop();
}

void TextControl::focusChanged(bool in)
{
    if (in) {
        restartBlink();
    } else {
        m_blink.stop();
        m_caretShown = false;
    }
    m_field.viewport()->update();
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
    m_field.viewport()->update(m_view.caretRect(cursor()).adjusted(-2, 0, 2, 0));
}
