// What the user does with the keys, the input method and the context menu.
#include "field/layout/TextLayout.h"
#include "field/widget/TextControl.h"
#include "field/widget/TextGeometry.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

#include <array>
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

// Ctrl+Y redoes too, as in most editors, whatever the platform's own Redo is.
bool isRedo(const QKeyEvent *key)
{
    return key->matches(QKeySequence::Redo)
           || key->keyCombination() == QKeyCombination(Qt::ControlModifier, Qt::Key_Y);
}

} // namespace

bool TextControl::takesShortcut(const QKeyEvent *key) const
{
    static constexpr std::array own { QKeySequence::Copy, QKeySequence::SelectAll,
                                      QKeySequence::MoveToStartOfDocument,
                                      QKeySequence::MoveToEndOfDocument };
    static constexpr std::array edits { QKeySequence::Cut, QKeySequence::Paste, QKeySequence::Undo,
                                        QKeySequence::Delete };
    const auto matches = [&](auto k) { return key->matches(k); };
    // Read-only, the keys that would edit are left to the shortcuts around.
    if (!m_readOnly
        && (typesText(key) || isRedo(key) || std::any_of(edits.begin(), edits.end(), matches)))
        return true;
    return std::any_of(own.begin(), own.end(), matches);
}

void TextControl::keyPressEvent(QKeyEvent *event, QWidget *viewport)
{
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
        const QPoint caret = m_geometry.caretRect(cursor()).center();
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, caret, viewport->mapToGlobal(caret));
        contextMenuEvent(&menu, viewport);
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
    else if (triggerMenuShortcut(event))
        return;
    else if (event->matches(K::Delete))
        removeForward();
    else if (event->matches(K::DeleteEndOfWord) || event->matches(K::DeleteStartOfWord))
        removeWord(event->matches(K::DeleteEndOfWord));
    else if (event->key() == Qt::Key_Backspace && !(event->modifiers() & Qt::ControlModifier))
        removeBackward();
    else if (event->matches(K::InsertParagraphSeparator) || event->matches(K::InsertLineSeparator))
        insertTyped(u"\n");
    else if (typesText(event))
        insertTyped(event->text(), EditHistory::Run::Typing);
    else
        event->ignore();
}

bool TextControl::triggerMenuShortcut(const QKeyEvent *key)
{
    const QKeySequence pressed(key->keyCombination());
    for (QAction *action : std::as_const(m_menuActions)) {
        if (action && action->isEnabled() && action->shortcuts().contains(pressed)) {
            action->trigger();
            return true;
        }
    }
    return false;
}

void TextControl::contextMenuEvent(QContextMenuEvent *event, QWidget *viewport)
{
    auto *menu = new QMenu(viewport);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto add = [&](const QString &text, QKeySequence::StandardKey key, bool enabled,
                         void (TextControl::*slot)()) {
        QAction *action = menu->addAction(text);
        action->setShortcut(key);
        action->setEnabled(enabled);
        connect(action, &QAction::triggered, this, slot);
    };
    const QMimeData *clipboard = QGuiApplication::clipboard()->mimeData();
    const bool edits = !m_readOnly;
    add(tr("&Undo"), QKeySequence::Undo, edits && canUndo(), &TextControl::undo);
    add(tr("&Redo"), QKeySequence::Redo, edits && canRedo(), &TextControl::redo);
    menu->addSeparator();
    add(tr("Cu&t"), QKeySequence::Cut, edits && hasSelection(), &TextControl::cut);
    add(tr("&Copy"), QKeySequence::Copy, hasSelection(), &TextControl::copy);
    add(tr("&Paste"), QKeySequence::Paste, edits && clipboard && clipboard->hasText(),
        &TextControl::paste);
    add(tr("Delete"), QKeySequence::Delete, edits && hasSelection(), &TextControl::deleteSelection);
    menu->addSeparator();
    add(tr("Select All"), QKeySequence::SelectAll, m_text.length() > 0, &TextControl::selectAll);
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
        const QRect caret = m_geometry.caretRect(cursor());
        const QRect view = viewport->rect();
        at = viewport->mapToGlobal(view.contains(caret.center()) ? caret.bottomLeft()
                                                                 : view.center());
    }
    menu->popup(at);
}

void TextControl::inputMethodEvent(QInputMethodEvent *event)
{
    if (m_readOnly) {
        // Nothing is composed where nothing can be committed.
        event->ignore();
        return;
    }
    if (!event->commitString().isEmpty() || event->replacementLength() > 0) {
        qsizetype from = selectionStart();
        qsizetype to = selectionEnd();
        if (!hasSelection() && event->replacementLength() > 0) {
            from = cursor() + event->replacementStart();
            to = from + event->replacementLength();
        }
        if (!replace(from, to, event->commitString()))
            QApplication::beep();
    }
    if (m_layout.preedit() != event->preeditString()) {
        m_layout.setPreedit(cursor(), event->preeditString());
        Q_EMIT updateRequest({});
    }
    event->accept();
}

QVariant TextControl::inputMethodQuery(Qt::InputMethodQuery query)
{
    const TextStore::Paragraph info = m_text.paragraph(m_text.paragraphAt(cursor()));
    const auto column = [&](qsizetype position) {
        return int(std::clamp<qsizetype>(position - info.start, 0, info.length));
    };
    switch (query) {
    case Qt::ImEnabled:
        return !m_readOnly;
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    case Qt::ImCursorRectangle:
        return QRectF(m_geometry.caretRect(cursor()));
    case Qt::ImCursorPosition:
        return column(cursor());
    case Qt::ImAnchorPosition:
        return column(anchor());
    case Qt::ImAbsolutePosition:
        return qlonglong(cursor());
    case Qt::ImSurroundingText:
        return m_text.text(info.start, info.start + info.length);
    case Qt::ImTextBeforeCursor:
        return m_text.text(info.start, cursor());
    case Qt::ImTextAfterCursor:
        return m_text.text(cursor(), info.start + info.length);
    case Qt::ImCurrentSelection:
        return selectionEnd() - selectionStart() <= maxQueriedText
                       ? m_text.text(selectionStart(), selectionEnd())
                       : QString();
    default:
        return {};
    }
}
