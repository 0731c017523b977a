// What the user does with the keys, the input method and the context menu,
// and the edits they make.
#include "field/TextControl.h"
#include "field/ReaderWindow.h"
#include "field/TextFieldMimeData.h"
#include "field/TextLayout.h"
#include "field/TextView.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QStyleHints>

#include <array>
#include <optional>
#include <utility>

namespace {

// Whether a key press types its text, by the rule of Qt's own text controls:
// printable characters, private use and the format characters (zero-width
// joiners, direction marks, the soft hyphen), which some layouts give with
// Ctrl+Shift; no control characters, so neither Tab nor Enter, and nothing
// else with Ctrl or Meta held, which are shortcuts.
bool typesText(const QKeyEvent *key)
{
    const QString text = key->text();
    if (text.isEmpty())
        return false;
    const auto typable = [](QChar c) {
        return c.isPrint() || c.isSurrogate() || c.category() == QChar::Other_Format
               || c.category() == QChar::Other_PrivateUse;
    };
    if (!std::all_of(text.begin(), text.end(), typable))
        return false;
    return text.front().category() == QChar::Other_Format
           || !(key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
}

// A selection too big for an input method to want it whole.
constexpr qsizetype maxQueriedText = 4096;

// Ctrl+Y redoes too, as in most editors, whatever the platform's own Redo is.
bool isRedo(const QKeyEvent *key)
{
    return key->matches(QKeySequence::Redo)
           || key->keyCombination() == QKeyCombination(Qt::ControlModifier, Qt::Key_Y);
}

} // namespace

TextControl::TextControl(QAbstractScrollArea &field, TextStore &text, TextLayout &layout,
                         TextView &view, ReaderWindow &reader)
    : m_field(field)
    , m_text(text)
    , m_layout(layout)
    , m_view(view)
    , m_reader(reader)
{ }

TextControl::~TextControl()
{
    keepAllLent();
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
    if (m_editsHeld)
        return false;
    m_view.settle();
    from = std::clamp<qsizetype>(from, 0, m_text.length());
    to = std::clamp<qsizetype>(to, 0, m_text.length());
    if (to < from)
        std::swap(from, to);
    if (text.size() > m_text.limits().capacity - (m_text.length() - (to - from)))
        return false;
    if (from == to && text.isEmpty())
        return true;
    keepLent(from, to, text.size());
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
    // A save reads the text while it runs: its steps wait, as other edits do.
    if (m_editsHeld) {
        QApplication::beep();
        return;
    }
    m_view.settle();
    const std::optional<EditHistory::Step> step
            = undo ? m_history.nextUndo() : m_history.nextRedo();
    if (!step)
        return;
    const QString removed
            = m_text.text(step->at, step->at + std::min(step->removed, maxQueriedText));
    keepLent(step->at, step->at + step->removed, step->inserted);
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
    m_view.ensureVisible(m_cursor);
    restartBlink();
    m_field.viewport()->update();
}

void TextControl::textAppended()
{
    place(m_text.length(), m_text.length());
    m_desiredX = -1;
    // An arrival ends a run of typing, and the history makes room for it.
    m_history.textGrew();
}

void TextControl::aboutToClear()
{
    keepAllLent();
    // Clear is final: nothing it emptied can be undone.
    m_history.clear();
}

void TextControl::cleared()
{
    place(0, 0);
    m_view.settle();
    m_field.viewport()->update();
    caretMoved();
}

void TextControl::place(qsizetype anchor, qsizetype cursor)
{
    m_anchor = anchor;
    m_cursor = cursor;
    // The input method's composition shows at the caret.
    m_layout.setPreedit(m_cursor, m_layout.preedit());
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
    m_view.ensureVisible(m_cursor);
    restartBlink();
    m_field.viewport()->update();
    caretMoved();
}

void TextControl::caretMoved()
{
    if (m_field.hasFocus())
        QGuiApplication::inputMethod()->update(Qt::ImQueryInput);
    m_reader.caretMoved(m_cursor, m_anchor);
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
        replace(target(CaretMotion::PreviousChar), m_cursor, {}, EditHistory::Run::Backspace);
}

void TextControl::removeForward()
{
    if (hasSelection())
        deleteSelection();
    else
        replace(m_cursor, target(CaretMotion::NextChar), {}, EditHistory::Run::Delete);
}

qsizetype TextControl::target(CaretMotion motion)
{
    m_view.settle();
    return caretTarget(m_layout, m_text, motion, m_cursor, m_desiredX, m_view.pageLines());
}

void TextControl::moveCursor(CaretMotion motion, bool select)
{
    const bool vertical = motion == CaretMotion::NextLine || motion == CaretMotion::PreviousLine
                          || motion == CaretMotion::NextPage || motion == CaretMotion::PreviousPage;
    if (vertical && m_desiredX < 0)
        m_desiredX = m_layout.xOf(m_cursor);
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
    moveCaret(select ? m_anchor : to, to);
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
    m_field.viewport()->update(m_view.caretRect(m_cursor).adjusted(-2, 0, 2, 0));
}

bool TextControl::takesShortcut(const QKeyEvent *key) const
{
    static constexpr std::array own { QKeySequence::Copy,
                                      QKeySequence::Cut,
                                      QKeySequence::Paste,
                                      QKeySequence::SelectAll,
                                      QKeySequence::Undo,
                                      QKeySequence::Delete,
                                      QKeySequence::MoveToStartOfDocument,
                                      QKeySequence::MoveToEndOfDocument };
    return typesText(key) || isRedo(key)
           || std::any_of(own.begin(), own.end(), [&](auto k) { return key->matches(k); });
}

void TextControl::keyPressEvent(QKeyEvent *event)
{
    m_view.settle();
    using K = QKeySequence;
    struct Move
    {
        K::StandardKey move;
        K::StandardKey select;
        CaretMotion motion;
    };
    static constexpr std::array moves {
        Move { K::MoveToNextChar, K::SelectNextChar, CaretMotion::NextChar },
        Move { K::MoveToPreviousChar, K::SelectPreviousChar, CaretMotion::PreviousChar },
        Move { K::MoveToNextWord, K::SelectNextWord, CaretMotion::NextWord },
        Move { K::MoveToPreviousWord, K::SelectPreviousWord, CaretMotion::PreviousWord },
        Move { K::MoveToNextLine, K::SelectNextLine, CaretMotion::NextLine },
        Move { K::MoveToPreviousLine, K::SelectPreviousLine, CaretMotion::PreviousLine },
        Move { K::MoveToNextPage, K::SelectNextPage, CaretMotion::NextPage },
        Move { K::MoveToPreviousPage, K::SelectPreviousPage, CaretMotion::PreviousPage },
        Move { K::MoveToStartOfLine, K::SelectStartOfLine, CaretMotion::StartOfLine },
        Move { K::MoveToEndOfLine, K::SelectEndOfLine, CaretMotion::EndOfLine },
        Move { K::MoveToStartOfBlock, K::SelectStartOfBlock, CaretMotion::StartOfLine },
        Move { K::MoveToEndOfBlock, K::SelectEndOfBlock, CaretMotion::EndOfLine },
        Move { K::MoveToStartOfDocument, K::SelectStartOfDocument, CaretMotion::StartOfText },
        Move { K::MoveToEndOfDocument, K::SelectEndOfDocument, CaretMotion::EndOfText },
    };
    for (const Move &move : moves) {
        if (event->matches(move.move) || event->matches(move.select)) {
            moveCursor(move.motion, event->matches(move.select));
            if (event->matches(move.select))
                offerSelection();
            return;
        }
    }
    if (event->keyCombination() == QKeyCombination(Qt::ShiftModifier, Qt::Key_F10)) {
        // The Menu key arrives as a context menu event; its other key does not.
        const QPoint caret = m_view.caretRect(m_cursor).center();
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, caret,
                               m_field.viewport()->mapToGlobal(caret));
        contextMenuEvent(&menu);
    } else if (event->matches(K::SelectAll)) {
        selectAll();
        offerSelection();
    } else if (event->matches(K::Undo))
        undo();
    else if (isRedo(event))
        redo();
    else if (event->matches(K::Copy))
        copy();
    else if (event->matches(K::Cut))
        cut();
    else if (event->matches(K::Paste))
        paste();
    else if (m_saveAsEnabled && event->matches(K::Save))
        Q_EMIT saveAsRequested();
    else if (event->matches(K::Delete))
        removeForward();
    else if (event->matches(K::DeleteEndOfWord))
        hasSelection() ? deleteSelection()
                       : void(replace(m_cursor, target(CaretMotion::NextWord), {}));
    else if (event->matches(K::DeleteStartOfWord))
        hasSelection() ? deleteSelection()
                       : void(replace(target(CaretMotion::PreviousWord), m_cursor, {}));
    else if (event->key() == Qt::Key_Backspace && !(event->modifiers() & Qt::ControlModifier))
        removeBackward();
    else if (event->matches(K::InsertParagraphSeparator) || event->matches(K::InsertLineSeparator))
        insertTyped(u"\n");
    else if (typesText(event))
        insertTyped(event->text(), EditHistory::Run::Typing);
    else
        event->ignore();
}

void TextControl::contextMenuEvent(QContextMenuEvent *event)
{
    auto *menu = new QMenu(&m_field);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto add = [&](const QString &text, QKeySequence::StandardKey key, bool enabled,
                         void (TextControl::*slot)()) {
        QAction *action = menu->addAction(text);
        action->setShortcut(key);
        action->setEnabled(enabled);
        connect(action, &QAction::triggered, this, slot);
    };
    const QMimeData *clipboard = QGuiApplication::clipboard()->mimeData();
    add(tr("&Undo"), QKeySequence::Undo, canUndo(), &TextControl::undo);
    add(tr("&Redo"), QKeySequence::Redo, canRedo(), &TextControl::redo);
    menu->addSeparator();
    add(tr("Cu&t"), QKeySequence::Cut, hasSelection(), &TextControl::cut);
    add(tr("&Copy"), QKeySequence::Copy, hasSelection(), &TextControl::copy);
    add(tr("&Paste"), QKeySequence::Paste, clipboard && clipboard->hasText(), &TextControl::paste);
    add(tr("Delete"), QKeySequence::Delete, hasSelection(), &TextControl::deleteSelection);
    menu->addSeparator();
    add(tr("Select All"), QKeySequence::SelectAll, m_text.length() > 0, &TextControl::selectAll);
    if (m_saveAsEnabled) {
        menu->addSeparator();
        add(tr("Save &As…"), QKeySequence::Save, true, &TextControl::saveAsRequested);
    }
    bool first = true;
    for (QAction *action : std::as_const(m_menuActions)) {
        if (!action)
            continue;
        if (std::exchange(first, false))
            menu->addSeparator();
        menu->addAction(action);
    }
    QPoint at = event->globalPos();
    if (event->reason() == QContextMenuEvent::Keyboard) {
        // As Qt's own fields do: at the caret, or in the middle when the caret
        // is out of view.
        const QRect caret = m_view.caretRect(m_cursor);
        const QRect view = m_field.viewport()->rect();
        at = m_field.viewport()->mapToGlobal(view.contains(caret.center()) ? caret.bottomLeft()
                                                                           : view.center());
    }
    menu->popup(at);
}

void TextControl::inputMethodEvent(QInputMethodEvent *event)
{
    m_view.settle();
    if (!event->commitString().isEmpty() || event->replacementLength() > 0) {
        qsizetype from = selectionStart();
        qsizetype to = selectionEnd();
        if (!hasSelection() && event->replacementLength() > 0) {
            from = m_cursor + event->replacementStart();
            to = from + event->replacementLength();
        }
        if (!replace(from, to, event->commitString()))
            QApplication::beep();
    }
    if (m_layout.preedit() != event->preeditString()) {
        m_layout.setPreedit(m_cursor, event->preeditString());
        m_field.viewport()->update();
    }
    event->accept();
}

void TextControl::answer(QInputMethodQueryEvent *query)
{
    // Answered from the event rather than from the field's inputMethodQuery(),
    // which Qt declares const: the caret's rectangle may need the view settled.
    const auto asked = uint(query->queries().toInt());
    for (uint bit = 1; bit != 0; bit <<= 1) {
        if (asked & bit)
            query->setValue(Qt::InputMethodQuery(bit), inputMethodQuery(Qt::InputMethodQuery(bit)));
    }
    query->accept();
}

QVariant TextControl::inputMethodQuery(Qt::InputMethodQuery query)
{
    const TextStore::Paragraph info = m_text.paragraph(m_text.paragraphAt(m_cursor));
    const auto column = [&](qsizetype position) {
        return int(std::clamp<qsizetype>(position - info.start, 0, info.length));
    };
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    case Qt::ImFont:
        return m_field.font();
    case Qt::ImCursorRectangle:
        return QRectF(m_view.caretRect(m_cursor).translated(m_field.viewport()->pos()));
    case Qt::ImCursorPosition:
        return column(m_cursor);
    case Qt::ImAnchorPosition:
        return column(m_anchor);
    case Qt::ImAbsolutePosition:
        return qlonglong(m_cursor);
    case Qt::ImSurroundingText:
        return m_text.text(info.start, info.start + info.length);
    case Qt::ImTextBeforeCursor:
        return m_text.text(info.start, m_cursor);
    case Qt::ImTextAfterCursor:
        return m_text.text(m_cursor, info.start + info.length);
    case Qt::ImCurrentSelection:
        return selectionEnd() - selectionStart() <= maxQueriedText
                       ? m_text.text(selectionStart(), selectionEnd())
                       : QString();
    default:
        return m_field.QAbstractScrollArea::inputMethodQuery(query);
    }
}
