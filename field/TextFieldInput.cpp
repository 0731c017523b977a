// What the user does to the log: keys, mouse, input methods, the context menu
// and the edits they make.
#include "field/TextField.h"

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

namespace {

// Text a key press may type: no control characters, so neither Tab nor Enter.
bool isTypable(QStringView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.isPrint() || c.isSurrogate();
    });
}

// A selection too big for an input method to want it whole.
constexpr qsizetype maxQueriedText = 4096;

} // namespace

qsizetype TextField::snapped(qsizetype position) const
{
    position = std::clamp<qsizetype>(position, 0, length());
    // Between the CR and the LF of one break the caret would split it.
    if (position > 0 && m_text.at(position) == u'\n' && m_text.at(position - 1) == u'\r')
        return position - 1;
    return position;
}

bool TextField::replaceText(qsizetype from, qsizetype to, QStringView text)
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
    const QString removed = m_text.text(from, std::min(to, from + maxQueriedText));
    // The top of the view stays on the text it showed.
    qsizetype topStart = m_text.paragraphStart(m_top.paragraph);
    m_text.remove(from, to - from);
    m_text.insert(from, text);
    if (topStart > from)
        topStart = topStart >= to ? topStart - (to - from) + text.size() : from;
    dropLayouts();
    const qsizetype topParagraph = m_text.paragraphAt(topStart);
    const qsizetype topLine = topParagraph == m_top.paragraph ? m_top.line : 0;
    m_top = Line { topParagraph, std::min(topLine, lineCount(topParagraph) - 1) };
    if (m_unannouncedFrom > from)
        m_unannouncedFrom = from;
    m_cursor = m_anchor = snapped(from + text.size());
    m_desiredX = -1;
    announceEdit(from, removed, text.size());
    ensureCursorVisible();
    restartBlink();
    viewport()->update();
    releaseLater();
    return true;
}

void TextField::setSelection(qsizetype anchor, qsizetype cursor)
{
    settle();
    m_anchor = snapped(anchor);
    moveCaret(snapped(cursor), true);
}

void TextField::moveCaret(qsizetype position, bool select)
{
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
    // Two positions: the text itself is only read when copied.
    m_anchor = 0;
    m_cursor = length();
    m_desiredX = -1;
    viewport()->update();
    cursorMoved();
}

void TextField::copy()
{
    if (!hasSelection())
        return;
    auto *mime = new QMimeData;
    mime->setText(m_text.text(selectionStart(), selectionEnd()));
    QGuiApplication::clipboard()->setMimeData(mime);
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

void TextField::insertTyped(QStringView text)
{
    if (!replaceText(selectionStart(), selectionEnd(), text))
        QApplication::beep();
}

void TextField::removeBackward()
{
    if (hasSelection())
        deleteSelection();
    else
        replaceText(target(Motion::PreviousChar), m_cursor, {});
}

void TextField::removeForward()
{
    if (hasSelection())
        deleteSelection();
    else
        replaceText(m_cursor, target(Motion::NextChar), {});
}

qsizetype TextField::target(Motion motion) const
{
    settle();
    const qsizetype paragraph = m_text.paragraphAt(m_cursor);
    const Laid &at = laid(paragraph);
    const TextStore::Paragraph info = at.paragraph;
    const int column = int(std::min(m_cursor - info.start, info.length));
    const auto previousParagraphEnd = [&]() -> qsizetype {
        if (paragraph == 0)
            return 0;
        const Laid &before = laid(paragraph - 1);
        const TextStore::Paragraph &previous = before.paragraph;
        // After a cut the end of the one is the start of the other: step past it.
        const int last = int(previous.length);
        return previous.start
               + (previous.breakLength > 0 ? last : before.layout.previousCursorPosition(last));
    };
    const qsizetype nextParagraphStart = info.start + info.length + info.breakLength;
    switch (motion) {
    case Motion::NextChar:
        return column < info.length ? info.start + at.layout.nextCursorPosition(column)
                                    : nextParagraphStart;
    case Motion::PreviousChar:
        return column > 0 ? info.start + at.layout.previousCursorPosition(column)
                          : previousParagraphEnd();
    case Motion::NextWord:
        return column < info.length
                       ? info.start + at.layout.nextCursorPosition(column, QTextLayout::SkipWords)
                       : nextParagraphStart;
    case Motion::PreviousWord:
        return column > 0
                       ? info.start
                                 + at.layout.previousCursorPosition(column, QTextLayout::SkipWords)
                       : previousParagraphEnd();
    case Motion::StartOfLine:
        return info.start + at.layout.lineForTextPosition(column).textStart();
    case Motion::EndOfLine: {
        const QTextLine line = at.layout.lineForTextPosition(column);
        qsizetype end = line.textStart() + line.textLength();
        // A wrapped line ends in the space it broke at; the caret goes before it.
        if (line.lineNumber() + 1 < at.layout.lineCount() && end > line.textStart()
            && at.layout.text().at(end - 1).isSpace())
            --end;
        return info.start + end;
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
                                          QKeySequence::Delete,
                                          QKeySequence::MoveToStartOfDocument,
                                          QKeySequence::MoveToEndOfDocument };
        const bool typed = isTypable(key->text())
                           && !(key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
        if (typed || std::any_of(own.begin(), own.end(), [&](auto k) { return key->matches(k); })) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void TextField::keyPressEvent(QKeyEvent *event)
{
    settle();
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
            return;
        }
    }
    if (event->matches(K::SelectAll))
        selectAll();
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
    else if (isTypable(event->text())
             && !(event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
        insertTyped(event->text());
    else
        event->ignore();
}

void TextField::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    settle();
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
        return;
    }
    moveCaret(at, event->modifiers() & Qt::ShiftModifier);
    m_desiredX = -1;
    m_dragging = true;
}

void TextField::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton))
        return;
    const QPoint point = event->position().toPoint();
    // Dragging past an edge scrolls a line a move.
    if (point.y() < 0)
        scrollByLines(-1);
    else if (point.y() >= viewport()->height())
        scrollByLines(1);
    moveCaret(snapped(positionAt(point)), true);
}

void TextField::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        m_dragging = false;
}

void TextField::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    settle();
    const QPoint point = event->position().toPoint();
    const auto [start, end] = wordAround(positionAt(point, QTextLine::CursorOnCharacter));
    m_anchor = start;
    moveCaret(end, true);
    m_dragging = false;
    m_doubleClicked = true;
    m_doubleClickTime = event->timestamp();
    m_doubleClickPoint = point;
}

std::pair<qsizetype, qsizetype> TextField::wordAround(qsizetype position) const
{
    const qsizetype paragraph = m_text.paragraphAt(position);
    const TextStore::Paragraph info = m_text.paragraph(paragraph);
    if (info.length == 0)
        return { position, position };
    // A word may go on across a cut into the paragraphs on either side.
    const qsizetype from = paragraph > 0 && m_text.breakLengthAfter(paragraph - 1) == 0
                                   ? m_text.paragraphStart(paragraph - 1)
                                   : info.start;
    const qsizetype to = info.breakLength == 0 && paragraph + 1 < m_text.paragraphCount()
                                 ? m_text.paragraph(paragraph + 1).start
                                           + m_text.paragraphLength(paragraph + 1)
                                 : info.start + info.length;
    const QString text = m_text.text(from, to);
    const auto column
            = std::clamp<qsizetype>(position, info.start, info.start + info.length - 1) - from;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    finder.setPosition(column);
    const qsizetype start = finder.isAtBoundary() ? column : finder.toPreviousBoundary();
    finder.setPosition(column);
    const qsizetype end = finder.toNextBoundary();
    return { from + std::max<qsizetype>(start, 0), end < 0 ? to : from + end };
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
    menu->popup(event->globalPos());
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
        m_layouts.erase(m_text.paragraphAt(m_cursor));
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
