// What the user does to the log: keys, mouse, input methods, the context menu
// and the edits they make.
#include "field/FindBar.h"
#include "field/TextField.h"
#include "field/TextFieldMimeData.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QStyleHints>
#include <QTextBoundaryFinder>
#include <QWheelEvent>

#include <algorithm>
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

// Word moves and word selection read at most this far, so that one word of a
// thousand million letters costs milliseconds, not seconds.
constexpr qsizetype maxWordScan = qsizetype(4) << 20;

bool isLineBreak(QChar c)
{
    return c == u'\n' || c == u'\r';
}

// The characters that make words of their own, as Qt's own text fields take them.
bool isWordSeparator(QChar c)
{
    return QStringView(u".,?!@#$:;-<>[](){}=/+%&^*'\"`~|\\").contains(c);
}

bool isBlank(QChar c)
{
    return c.isSpace() && !isLineBreak(c);
}

// The first position from `position` on whose unit fails the test, reading
// the text a block at a time; `limit` at most.
template<typename Test>
qsizetype skipForward(const TextStore &text, qsizetype position, qsizetype limit, Test test)
{
    for (qsizetype block = 256; position < limit; block = std::min(block * 2, qsizetype(1) << 16)) {
        const qsizetype end = std::min(limit, position + block);
        const QString units = text.text(position, end);
        for (const QChar c : units) {
            if (!test(c))
                return position;
            ++position;
        }
    }
    return limit;
}

// The same backwards: the first position, going back from `position`, whose
// unit before it fails the test; `limit` at least.
template<typename Test>
qsizetype skipBackward(const TextStore &text, qsizetype position, qsizetype limit, Test test)
{
    for (qsizetype block = 256; position > limit; block = std::min(block * 2, qsizetype(1) << 16)) {
        const qsizetype from = std::max(limit, position - block);
        const QString units = text.text(from, position);
        for (qsizetype i = units.size(); i > 0; --i) {
            if (!test(units[i - 1]))
                return position;
            --position;
        }
    }
    return limit;
}

} // namespace

qsizetype TextField::snapped(qsizetype position) const
{
    position = std::clamp<qsizetype>(position, 0, length());
    // Between the CR and the LF of one break, or between the halves of a
    // surrogate pair, the caret would split them.
    if (position > 0 && m_text.at(position) == u'\n' && m_text.at(position - 1) == u'\r')
        return position - 1;
    if (position > 0 && m_text.at(position).isLowSurrogate()
        && m_text.at(position - 1).isHighSurrogate())
        return position - 1;
    return position;
}

bool TextField::replaceText(qsizetype from, qsizetype to, QStringView text, EditHistory::Run run)
{
    if (m_editsHeld)
        return false;
    settle();
    from = std::clamp<qsizetype>(from, 0, length());
    to = std::clamp<qsizetype>(to, 0, length());
    if (to < from)
        std::swap(from, to);
    if (text.size() > m_text.limits().capacity - (length() - (to - from)))
        return false;
    if (from == to && text.isEmpty())
        return true;
    keepLent(from, to, text.size());
    const QString removed = m_text.text(from, std::min(to, from + maxQueriedText));
    const qsizetype topStart = m_text.paragraphStart(m_top.paragraph);
    if (!m_history.replace(from, to, text, run))
        return false;
    showEdit(topStart, from, to - from, text.size(), removed);
    return true;
}

void TextField::undo()
{
    undoOrRedo(true);
}

void TextField::redo()
{
    undoOrRedo(false);
}

void TextField::undoOrRedo(bool undo)
{
    // A save reads the text while it runs: its steps wait, as other edits do.
    if (m_editsHeld) {
        QApplication::beep();
        return;
    }
    settle();
    const std::optional<EditHistory::Step> step
            = undo ? m_history.nextUndo() : m_history.nextRedo();
    if (!step)
        return;
    const QString removed
            = m_text.text(step->at, step->at + std::min(step->removed, maxQueriedText));
    const qsizetype topStart = m_text.paragraphStart(m_top.paragraph);
    keepLent(step->at, step->at + step->removed, step->inserted);
    // Refused only when what it would bring back no longer fits beside what arrived since.
    if (!(undo ? m_history.undo() : m_history.redo())) {
        QApplication::beep();
        return;
    }
    // As in Qt's own fields, the caret goes after the text brought back, nothing selected.
    showEdit(topStart, step->at, step->removed, step->inserted, removed);
}

void TextField::showEdit(qsizetype topStart, qsizetype from, qsizetype removed, qsizetype inserted,
                         const QString &removedText)
{
    const qsizetype to = from + removed;
    const qsizetype editedParagraph = m_text.paragraphAt(from);
    // The top of the view stays on the text it showed.
    if (topStart > from)
        topStart = topStart >= to ? topStart - removed + inserted : from;
    dropLayouts();
    dropCarries(editedParagraph - 1);
    const qsizetype topParagraph = m_text.paragraphAt(topStart);
    const qsizetype topLine = topParagraph == m_top.paragraph ? m_top.line : 0;
    m_top = Line { topParagraph, std::min(topLine, lineCount(topParagraph) - 1) };
    if (m_unannouncedFrom > from)
        m_unannouncedFrom = from;
    m_cursor = m_anchor = snapped(from + inserted);
    m_desiredX = -1;
    announceEdit(from, removedText, inserted);
    ensureCursorVisible();
    restartBlink();
    viewport()->update();
    releaseLater();
}

void TextField::setSelection(qsizetype anchor, qsizetype cursor)
{
    settle();
    m_anchor = snapped(anchor);
    moveCaret(snapped(cursor), true);
}

void TextField::moveCaret(qsizetype position, bool select)
{
    m_history.endRun();
    m_cursor = position;
    if (!select)
        m_anchor = position;
    ensureCursorVisible();
    restartBlink();
    viewport()->update();
    cursorMoved();
}

void TextField::selectAll()
{
    m_history.endRun();
    // Two positions: the text itself is only read when copied.
    m_anchor = 0;
    m_cursor = length();
    m_desiredX = -1;
    viewport()->update();
    cursorMoved();
}

void TextField::copy()
{
    // Nothing is read yet: the text is made when it is asked for.
    if (hasSelection())
        QGuiApplication::clipboard()->setMimeData(lend(selectionStart(), selectionEnd()));
}

void TextField::cut()
{
    copy();
    deleteSelection();
}

void TextField::paste()
{
    const QMimeData *mime = QGuiApplication::clipboard()->mimeData();
    if (mime && mime->hasText())
        insertTyped(mime->text());
}

void TextField::deleteSelection()
{
    if (hasSelection())
        replaceText(selectionStart(), selectionEnd(), {});
}

void TextField::insertTyped(QStringView text, EditHistory::Run run)
{
    if (!replaceText(selectionStart(), selectionEnd(), text, run))
        QApplication::beep();
}

void TextField::removeBackward()
{
    if (hasSelection())
        deleteSelection();
    else
        replaceText(target(Motion::PreviousChar), m_cursor, {}, EditHistory::Run::Backspace);
}

void TextField::removeForward()
{
    if (hasSelection())
        deleteSelection();
    else
        replaceText(m_cursor, target(Motion::NextChar), {}, EditHistory::Run::Delete);
}

qsizetype TextField::target(Motion motion) const
{
    settle();
    const qsizetype paragraph = shownParagraph(m_cursor);
    const Laid &at = laid(paragraph);
    const TextStore::Paragraph info = at.paragraph;
    const auto column = int(std::clamp<qsizetype>(m_cursor, at.start, shownEnd(at)) - at.start);
    // The layout reads past the positions it shows when the line goes on.
    const bool atLineEnd = at.nextStart < 0 && m_cursor >= shownEnd(at);
    switch (motion) {
    case Motion::NextChar:
        return atLineEnd ? info.start + info.length + info.breakLength
                         : at.start + at.layout.nextCursorPosition(column);
    case Motion::PreviousChar: {
        if (column > 0)
            return at.start + at.layout.previousCursorPosition(column);
        if (paragraph == 0)
            return 0;
        const Laid &before = laid(paragraph - 1);
        if (before.nextStart < 0) // a break ends it: step over the break whole
            return before.paragraph.start + before.paragraph.length;
        return before.start + before.layout.previousCursorPosition(int(m_cursor - before.start));
    }
    case Motion::NextWord: {
        if (isLineBreak(m_text.at(m_cursor))) {
            const bool crlf = m_text.at(m_cursor) == u'\r' && m_text.at(m_cursor + 1) == u'\n';
            return m_cursor + (crlf ? 2 : 1);
        }
        // As Qt's fields do: over a run of separators or a word, then the blanks.
        const qsizetype limit = std::min(length(), m_cursor + maxWordScan);
        const qsizetype word = isWordSeparator(m_text.at(m_cursor))
                                       ? skipForward(m_text, m_cursor, limit, isWordSeparator)
                                       : skipForward(m_text, m_cursor, limit, [](QChar c) {
                                             return !c.isSpace() && !isWordSeparator(c);
                                         });
        return skipForward(m_text, word, limit, isBlank);
    }
    case Motion::PreviousWord: {
        if (m_cursor > 0 && isLineBreak(m_text.at(m_cursor - 1))) {
            const bool crlf = m_text.at(m_cursor - 1) == u'\n' && m_text.at(m_cursor - 2) == u'\r';
            return m_cursor - (crlf ? 2 : 1);
        }
        const qsizetype limit = std::max<qsizetype>(0, m_cursor - maxWordScan);
        const qsizetype blanks = skipBackward(m_text, m_cursor, limit, isBlank);
        if (blanks > limit && isWordSeparator(m_text.at(blanks - 1)))
            return skipBackward(m_text, blanks, limit, isWordSeparator);
        return skipBackward(m_text, blanks, limit,
                            [](QChar c) { return !c.isSpace() && !isWordSeparator(c); });
    }
    case Motion::StartOfLine:
        return at.start + at.layout.lineForTextPosition(column).textStart();
    case Motion::EndOfLine: {
        const QTextLine line = at.layout.lineForTextPosition(column);
        qsizetype end = line.textStart() + line.textLength();
        // A wrapped line ends in the space it broke at; the caret goes before it.
        if (line.lineNumber() + 1 < at.layout.lineCount() && end > line.textStart()
            && at.layout.text().at(end - 1).isSpace())
            --end;
        return std::min(at.start + end, shownEnd(at));
    }
    case Motion::NextLine:
    case Motion::PreviousLine:
    case Motion::NextPage:
    case Motion::PreviousPage: {
        const qsizetype lines = motion == Motion::NextLine       ? 1
                                : motion == Motion::PreviousLine ? -1
                                : motion == Motion::NextPage     ? pageLines()
                                                                 : -pageLines();
        const Line from = lineOf(m_cursor);
        const Line to = moved(from, lines);
        if (to == from)
            return lines > 0 ? length() : 0;
        return positionOnLine(to, m_desiredX);
    }
    case Motion::StartOfText:
        return 0;
    case Motion::EndOfText:
        return length();
    }
    return m_cursor;
}

void TextField::moveCursor(Motion motion, bool select)
{
    const bool vertical = motion == Motion::NextLine || motion == Motion::PreviousLine
                          || motion == Motion::NextPage || motion == Motion::PreviousPage;
    if (vertical && m_desiredX < 0)
        m_desiredX = xOf(m_cursor);
    qsizetype to = target(motion);
    // Left and right without Shift first drop the selection at its edge.
    if (!select && hasSelection() && motion == Motion::PreviousChar)
        to = selectionStart();
    else if (!select && hasSelection() && motion == Motion::NextChar)
        to = selectionEnd();
    if (motion == Motion::NextPage || motion == Motion::PreviousPage)
        scrollByLines(motion == Motion::NextPage ? pageLines() : -pageLines());
    const qreal keptX = m_desiredX;
    moveCaret(snapped(to), select);
    m_desiredX = vertical ? keptX : -1;
}

void TextField::restartBlink()
{
    m_caretShown = true;
    const int flashTime = QGuiApplication::styleHints()->cursorFlashTime();
    if (hasFocus() && flashTime >= 2)
        m_blink.start(flashTime / 2, this);
    else
        m_blink.stop();
}

void TextField::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    restartBlink();
    viewport()->update();
}

void TextField::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    m_blink.stop();
    m_caretShown = false;
    viewport()->update();
}

void TextField::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_autoScroll.timerId()) {
        autoScrollStep();
        return;
    }
    if (event->timerId() != m_blink.timerId()) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    m_caretShown = !m_caretShown;
    viewport()->update(cursorRect().adjusted(-2, 0, 2, 0));
}

bool TextField::event(QEvent *event)
{
    // Keys the field handles itself must not be taken by shortcuts around it.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        static constexpr std::array own { QKeySequence::Copy,
                                          QKeySequence::Cut,
                                          QKeySequence::Paste,
                                          QKeySequence::SelectAll,
                                          QKeySequence::Undo,
                                          QKeySequence::Delete,
                                          QKeySequence::MoveToStartOfDocument,
                                          QKeySequence::MoveToEndOfDocument };
        if (typesText(key) || isRedo(key)
            || std::any_of(own.begin(), own.end(), [&](auto k) { return key->matches(k); })) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void TextField::keyPressEvent(QKeyEvent *event)
{
    settle();
    if (event->matches(QKeySequence::Find) && !m_findBar)
        m_findBar = new FindBar(this);
    if (m_findBar && m_findBar->takeFieldKey(event))
        return;
    using K = QKeySequence;
    struct Move
    {
        K::StandardKey move;
        K::StandardKey select;
        Motion motion;
    };
    static constexpr std::array moves {
        Move { K::MoveToNextChar, K::SelectNextChar, Motion::NextChar },
        Move { K::MoveToPreviousChar, K::SelectPreviousChar, Motion::PreviousChar },
        Move { K::MoveToNextWord, K::SelectNextWord, Motion::NextWord },
        Move { K::MoveToPreviousWord, K::SelectPreviousWord, Motion::PreviousWord },
        Move { K::MoveToNextLine, K::SelectNextLine, Motion::NextLine },
        Move { K::MoveToPreviousLine, K::SelectPreviousLine, Motion::PreviousLine },
        Move { K::MoveToNextPage, K::SelectNextPage, Motion::NextPage },
        Move { K::MoveToPreviousPage, K::SelectPreviousPage, Motion::PreviousPage },
        Move { K::MoveToStartOfLine, K::SelectStartOfLine, Motion::StartOfLine },
        Move { K::MoveToEndOfLine, K::SelectEndOfLine, Motion::EndOfLine },
        Move { K::MoveToStartOfBlock, K::SelectStartOfBlock, Motion::StartOfLine },
        Move { K::MoveToEndOfBlock, K::SelectEndOfBlock, Motion::EndOfLine },
        Move { K::MoveToStartOfDocument, K::SelectStartOfDocument, Motion::StartOfText },
        Move { K::MoveToEndOfDocument, K::SelectEndOfDocument, Motion::EndOfText },
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
        popupMenuAtCaret();
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
                       : void(replaceText(m_cursor, target(Motion::NextWord), {}));
    else if (event->matches(K::DeleteStartOfWord))
        hasSelection() ? deleteSelection()
                       : void(replaceText(target(Motion::PreviousWord), m_cursor, {}));
    else if (event->key() == Qt::Key_Backspace && !(event->modifiers() & Qt::ControlModifier))
        removeBackward();
    else if (event->matches(K::InsertParagraphSeparator) || event->matches(K::InsertLineSeparator))
        insertTyped(u"\n");
    else if (typesText(event))
        insertTyped(event->text(), EditHistory::Run::Typing);
    else
        event->ignore();
}

void TextField::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::MiddleButton) {
        event->accept(); // the release pastes
        return;
    }
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    settle();
    m_autoScroll.stop();
    const QPoint point = event->position().toPoint();
    const qsizetype at = snapped(positionAt(point));
    // A third press soon after a double click, where it was, selects the line.
    const bool third
            = m_doubleClicked
              && event->timestamp() - m_doubleClickTime
                         < ulong(QGuiApplication::styleHints()->mouseDoubleClickInterval())
              && (point - m_doubleClickPoint).manhattanLength() < QApplication::startDragDistance();
    m_doubleClicked = false;
    if (third) {
        const auto [start, end] = lineAround(at);
        m_anchor = start;
        moveCaret(end, true);
        m_dragging = false;
        offerSelection();
        return;
    }
    // A press on selected text may start dragging it; a click there drops the selection.
    const qsizetype on = positionAt(point, QTextLine::CursorOnCharacter);
    if (!(event->modifiers() & Qt::ShiftModifier) && on >= selectionStart()
        && on < selectionEnd()) {
        m_mightDrag = true;
        m_pressPoint = point;
        return;
    }
    moveCaret(at, event->modifiers() & Qt::ShiftModifier);
    m_desiredX = -1;
    m_dragging = true;
}

void TextField::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint point = event->position().toPoint();
    if (m_mightDrag) {
        if ((point - m_pressPoint).manhattanLength() >= QApplication::startDragDistance()) {
            m_mightDrag = false;
            startDrag();
        }
        return;
    }
    if (!m_dragging)
        return;
    // Held past an edge, the view goes on scrolling on a timer.
    const bool inside = viewport()->rect().contains(point);
    if (inside)
        m_autoScroll.stop();
    else
        startAutoScroll(point, false);
    moveCaret(snapped(positionAt(inside ? point : insideView(point))), true);
}

void TextField::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::MiddleButton) {
        pasteSelectionAt(event->position().toPoint());
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_autoScroll.stop();
    if (m_mightDrag) {
        m_mightDrag = false;
        moveCaret(snapped(positionAt(event->position().toPoint())), false);
        m_desiredX = -1;
    } else if (m_dragging) {
        offerSelection();
    }
    m_dragging = false;
}

void TextField::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    settle();
    m_mightDrag = false;
    const QPoint point = event->position().toPoint();
    const auto [start, end] = wordAround(positionAt(point, QTextLine::CursorOnCharacter));
    m_anchor = start;
    moveCaret(end, true);
    m_dragging = false;
    m_doubleClicked = true;
    m_doubleClickTime = event->timestamp();
    m_doubleClickPoint = point;
    offerSelection();
}

std::pair<qsizetype, qsizetype> TextField::wordAround(qsizetype position) const
{
    const TextStore::Paragraph info = m_text.paragraph(m_text.paragraphAt(position));
    if (info.length == 0)
        return { position, position };
    position = std::clamp<qsizetype>(position, info.start, info.start + info.length - 1);
    // A word may go on across cuts: read more on a side until the word ends
    // inside what was read. Breaks always end words, so lines do not matter.
    const qsizetype low = std::max<qsizetype>(0, position - maxWordScan);
    const qsizetype high = std::min(length(), position + maxWordScan);
    qsizetype reach = 256;
    qsizetype from = std::max(low, position - reach);
    qsizetype to = std::min(high, position + reach);
    for (;;) {
        const QString text = m_text.text(from, to);
        QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
        const qsizetype column = position - from;
        finder.setPosition(column);
        const qsizetype start = finder.isAtBoundary() ? column : finder.toPreviousBoundary();
        finder.setPosition(column);
        const qsizetype end = finder.toNextBoundary();
        const bool moreBefore = start <= 0 && from > low;
        const bool moreAfter = (end < 0 || end >= to - from) && to < high;
        if (!moreBefore && !moreAfter)
            return { from + std::max<qsizetype>(start, 0), end < 0 ? to : from + end };
        reach *= 2;
        if (moreBefore)
            from = std::max(low, position - reach);
        if (moreAfter)
            to = std::min(high, position + reach);
    }
}

std::pair<qsizetype, qsizetype> TextField::lineAround(qsizetype position) const
{
    // A line longer than a paragraph goes on after each cut.
    qsizetype first = m_text.paragraphAt(position);
    qsizetype last = first;
    while (first > 0 && m_text.breakLengthAfter(first - 1) == 0)
        --first;
    while (last + 1 < m_text.paragraphCount() && m_text.breakLengthAfter(last) == 0)
        ++last;
    const TextStore::Paragraph end = m_text.paragraph(last);
    return { m_text.paragraphStart(first), end.start + end.length };
}

void TextField::wheelEvent(QWheelEvent *event)
{
    m_wheelRemainder += event->angleDelta().y();
    const int steps = m_wheelRemainder / QWheelEvent::DefaultDeltasPerStep;
    m_wheelRemainder -= steps * QWheelEvent::DefaultDeltasPerStep;
    if (steps != 0)
        scrollByLines(-qsizetype(steps) * QApplication::wheelScrollLines());
    event->accept();
}

void TextField::contextMenuEvent(QContextMenuEvent *event)
{
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto add = [&](const QString &text, QKeySequence::StandardKey key, bool enabled,
                         void (TextField::*slot)()) {
        QAction *action = menu->addAction(text);
        action->setShortcut(key);
        action->setEnabled(enabled);
        connect(action, &QAction::triggered, this, slot);
    };
    const QMimeData *clipboard = QGuiApplication::clipboard()->mimeData();
    add(tr("&Undo"), QKeySequence::Undo, canUndo(), &TextField::undo);
    add(tr("&Redo"), QKeySequence::Redo, canRedo(), &TextField::redo);
    menu->addSeparator();
    add(tr("Cu&t"), QKeySequence::Cut, hasSelection(), &TextField::cut);
    add(tr("&Copy"), QKeySequence::Copy, hasSelection(), &TextField::copy);
    add(tr("&Paste"), QKeySequence::Paste, clipboard && clipboard->hasText(), &TextField::paste);
    add(tr("Delete"), QKeySequence::Delete, hasSelection(), &TextField::deleteSelection);
    menu->addSeparator();
    add(tr("Select All"), QKeySequence::SelectAll, length() > 0, &TextField::selectAll);
    if (m_saveAsEnabled) {
        menu->addSeparator();
        add(tr("Save &As…"), QKeySequence::Save, true, &TextField::saveAsRequested);
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
        const QRect caret = cursorRect();
        const QRect view = viewport()->rect();
        at = viewport()->mapToGlobal(view.contains(caret.center()) ? caret.bottomLeft()
                                                                   : view.center());
    }
    menu->popup(at);
}

void TextField::popupMenuAtCaret()
{
    QContextMenuEvent event(QContextMenuEvent::Keyboard, cursorRect().center(),
                            viewport()->mapToGlobal(cursorRect().center()));
    contextMenuEvent(&event);
}

void TextField::inputMethodEvent(QInputMethodEvent *event)
{
    settle();
    if (!event->commitString().isEmpty() || event->replacementLength() > 0) {
        qsizetype from = selectionStart();
        qsizetype to = selectionEnd();
        if (!hasSelection() && event->replacementLength() > 0) {
            from = m_cursor + event->replacementStart();
            to = from + event->replacementLength();
        }
        if (!replaceText(from, to, event->commitString()))
            QApplication::beep();
    }
    if (m_preedit != event->preeditString()) {
        m_preedit = event->preeditString();
        // Either of two paragraphs may show the caret.
        const qsizetype paragraph = m_text.paragraphAt(m_cursor);
        m_layouts.erase(paragraph);
        m_layouts.erase(paragraph + 1);
        viewport()->update();
    }
    event->accept();
}

QVariant TextField::inputMethodQuery(Qt::InputMethodQuery query) const
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
        return font();
    case Qt::ImCursorRectangle:
        return QRectF(cursorRect().translated(viewport()->pos()));
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
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}
