// What screen readers see of the log: an editable multi-line text whose text,
// caret and selection come from the model, never from a copy of the whole log.
//
// They see a window of it around the caret (TextField::readerWindow), since
// Qt's bridge answers some of their calls with a loop over every offset up to
// the character count: the extents of a range ask for the rectangle of each
// character in it. A character off screen has no rectangle and costs a
// comparison, so no call costs more than the window and the screen.
//
// The bus cannot carry a NUL inside a string and cuts it there, so each NUL
// reads as U+2400, one unit for one, and what follows it still arrives.
#include "field/TextField.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QGuiApplication>
#include <QInputMethod>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <climits>

namespace {

// A screen reader hears at most this much of the arrivals since the last notice.
constexpr qsizetype maxAnnounced = 4096;
// The window moves in steps of this, so that a log growing at its end moves
// it once a step and not with every arrival.
constexpr qsizetype readerStep = TextField::readerWindow / 4;
static_assert(TextField::readerWindow <= INT_MAX);

int clampedInt(qsizetype value)
{
    return int(std::clamp<qsizetype>(value, 0, INT_MAX));
}

QString readable(QString text)
{
    return text.replace(QChar(u'\0'), QChar(0x2400));
}

// Where the window starts for a caret: it holds the caret, well inside it
// when it can, and it stays full at the end of the log.
qsizetype readerStartFor(qsizetype caret, qsizetype length)
{
    constexpr qsizetype window = TextField::readerWindow;
    if (length <= window)
        return 0;
    const qsizetype centred
            = (std::max<qsizetype>(0, caret - window / 2) / readerStep) * readerStep;
    const qsizetype last = (length - window + readerStep - 1) / readerStep * readerStep;
    return std::min(centred, last);
}

class TextFieldAccessible final :
    public QAccessibleWidget,
    public QAccessibleTextInterface,
    public QAccessibleEditableTextInterface
{
public:
    explicit TextFieldAccessible(TextField *view)
        : QAccessibleWidget(view, QAccessible::EditableText)
        , m_view(view)
    { }

    // Kept rather than cast from widget() on each of the many calls a loop makes.
    TextField *view() const { return m_view; }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        if (type == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.focusable = true;
        state.focused = view()->hasFocus();
        state.multiLine = true;
        state.editable = true;
        state.selectableText = true;
        return state;
    }

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Value)
            return text(0, characterCount());
        return QAccessibleWidget::text(kind);
    }

    void selection(int index, int *start, int *end) const override
    {
        const bool any = index == 0 && view()->hasSelection();
        *start = any ? offsetOf(view()->selectionStart()) : 0;
        *end = any ? offsetOf(view()->selectionEnd()) : 0;
    }
    int selectionCount() const override { return view()->hasSelection() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { setCursorPosition(cursorPosition()); }
    void setSelection(int, int start, int end) override
    {
        view()->setSelection(positionOf(start), positionOf(end));
    }

    int cursorPosition() const override { return offsetOf(view()->cursorPosition()); }
    void setCursorPosition(int position) override
    {
        const qsizetype at = positionOf(position);
        view()->setSelection(at, at);
    }

    QString text(int start, int end) const override
    {
        const qsizetype from = positionOf(start);
        return readable(view()->textBetween(from, std::max(from, positionOf(end))));
    }
    int characterCount() const override { return int(view()->readerLength()); }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                         int *end) const override
    {
        return textOf(around(positionOf(offset), type), start, end);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                             int *end) const override
    {
        const auto [from, to] = around(positionOf(offset), type);
        if (from <= view()->readerStart() || type == QAccessible::NoBoundary)
            return textOf({ view()->readerStart(), view()->readerStart() }, start, end);
        return textOf(around(from - 1, type), start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                            int *end) const override
    {
        const auto [from, to] = around(positionOf(offset), type);
        const qsizetype last = readerEnd();
        if (to >= last || type == QAccessible::NoBoundary)
            return textOf({ last, last }, start, end);
        return textOf(around(to, type), start, end);
    }

    QRect characterRect(int offset) const override
    {
        // The bridge asks this of every offset of a range: one off screen
        // must cost no more than the comparison.
        const qsizetype position = view()->readerStart() + offset;
        const auto [first, last] = view()->shownRange();
        if (position < first || position > last || offset < 0 || offset > characterCount())
            return {};
        const QRect rect = view()->characterRect(position);
        return QRect(view()->viewport()->mapToGlobal(rect.topLeft()), rect.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        const QPoint local = view()->viewport()->mapFromGlobal(point);
        if (!view()->viewport()->rect().contains(local))
            return -1;
        const qsizetype position = view()->positionAt(local);
        if (position < view()->readerStart() || position > readerEnd())
            return -1;
        return offsetOf(position);
    }
    void scrollToSubstring(int start, int) override { setCursorPosition(start); }
    QString attributes(int, int *start, int *end) const override
    {
        *start = 0;
        *end = characterCount();
        return {};
    }

    void deleteText(int start, int end) override
    {
        view()->replaceText(positionOf(start), positionOf(end), {});
    }
    void insertText(int offset, const QString &text) override
    {
        view()->replaceText(positionOf(offset), positionOf(offset), text);
    }
    void replaceText(int start, int end, const QString &text) override
    {
        view()->replaceText(positionOf(start), positionOf(end), text);
    }

private:
    using Range = std::pair<qsizetype, qsizetype>;

    qsizetype readerEnd() const { return view()->readerStart() + view()->readerLength(); }
    // An offset of the window as a position in the log, and back; both clamped
    // to the window.
    qsizetype positionOf(int offset) const
    {
        return view()->readerStart() + std::clamp<qsizetype>(offset, 0, view()->readerLength());
    }
    int offsetOf(qsizetype position) const
    {
        return int(
                std::clamp<qsizetype>(position - view()->readerStart(), 0, view()->readerLength()));
    }

    QString textOf(Range range, int *start, int *end) const
    {
        const qsizetype from = std::clamp(range.first, view()->readerStart(), readerEnd());
        const qsizetype to = std::clamp(range.second, from, readerEnd());
        *start = offsetOf(from);
        *end = offsetOf(to);
        return readable(view()->textBetween(from, to));
    }

    // The piece of text of the given kind that holds the position. A line is
    // a paragraph of the model with its break; a break counts as a word of its
    // own. Each is at most a few paragraphs long.
    Range around(qsizetype offset, QAccessible::TextBoundaryType type) const
    {
        const TextStore &text = view()->model();
        const qsizetype length = text.length();
        offset = std::clamp<qsizetype>(offset, 0, length);
        if (type == QAccessible::NoBoundary)
            return { view()->readerStart(), readerEnd() };
        if (offset == length && type != QAccessible::LineBoundary
            && type != QAccessible::ParagraphBoundary)
            return { length, length };
        const TextStore::Paragraph paragraph = text.paragraph(text.paragraphAt(offset));
        const qsizetype textEnd = paragraph.start + paragraph.length;
        const qsizetype next = textEnd + paragraph.breakLength;
        switch (type) {
        case QAccessible::LineBoundary:
        case QAccessible::ParagraphBoundary:
            return { paragraph.start, next };
        case QAccessible::CharBoundary:
            if (offset >= textEnd)
                return { textEnd, std::max(next, textEnd + 1) };
            if (text.at(offset).isHighSurrogate() && text.at(offset + 1).isLowSurrogate())
                return { offset, offset + 2 };
            return { offset, offset + 1 };
        case QAccessible::WordBoundary:
            if (offset >= textEnd)
                return { textEnd, std::max(next, textEnd + 1) };
            return view()->wordAround(offset);
        default: {
            if (offset >= textEnd)
                return { textEnd, std::max(next, textEnd + 1) };
            const QString line = text.text(paragraph.start, textEnd);
            QTextBoundaryFinder finder(QTextBoundaryFinder::Sentence, line);
            const qsizetype column = offset - paragraph.start;
            finder.setPosition(column);
            const qsizetype from = finder.isAtBoundary() ? column : finder.toPreviousBoundary();
            finder.setPosition(column);
            const qsizetype to = finder.toNextBoundary();
            return { paragraph.start + std::max<qsizetype>(from, 0),
                     to < 0 ? textEnd : paragraph.start + to };
        }
        }
    }

    TextField *m_view;
};

QAccessibleInterface *textFieldAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("TextField") && object && object->isWidgetType())
        return new TextFieldAccessible(static_cast<TextField *>(object));
    return nullptr;
}

} // namespace

void installTextFieldAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(textFieldAccessible);
        return true;
    }();
    Q_UNUSED(installed);
}

std::pair<qsizetype, qsizetype> TextField::shownRange()
{
    // Asked for every offset of a range: the check must stay a few comparisons.
    ShownKey &key = m_shownKey;
    const int lineHeight = m_layout.lineHeight();
    if (key.length == m_text.length() && key.edits == m_text.edits() && key.top == m_top
        && key.viewport == viewport()->size() && key.lineHeight == lineHeight
        && key.preedit == m_preedit.size() && !m_endDirty && !m_revealPending && key.font == font())
        return m_shown;
    settle();
    const Laid &top = m_layout.laid(m_top.paragraph);
    const QTextLine topLine = top.layout.lineAt(int(m_top.line));
    const qsizetype first = top.paragraph.start + (topLine.isValid() ? topLine.textStart() : 0);
    // Every line that starts above the bottom edge shows, if only in part.
    const qsizetype lines
            = std::max(1, (viewport()->height() - margin + lineHeight - 1) / lineHeight);
    const Line bottom = m_layout.moved(m_top, lines - 1);
    const Laid &at = m_layout.laid(bottom.paragraph);
    const QTextLine line = at.layout.lineAt(int(bottom.line));
    const qsizetype last
            = at.paragraph.start
              + (line.isValid() ? line.textStart() + line.textLength() : at.paragraph.length);
    m_shown = { first, std::max(first, last) };
    key = { m_text.length(), m_text.edits(),   m_top, viewport()->size(),
            lineHeight,      m_preedit.size(), font() };
    return m_shown;
}

void TextField::moveReaderWindow(bool arrivals)
{
    // What screen readers were told they see, and what they will see now.
    // Arrivals not yet told are left to their own paced notice, which tells
    // the end of the window when it is due.
    const qsizetype known = m_unannouncedFrom >= 0 && !arrivals ? m_unannouncedFrom : length();
    const qsizetype oldStart = std::min(m_readerStart, known);
    const qsizetype oldEnd = std::min(oldStart + m_readerLength, known);
    // The window stays while it holds the caret, so that a reader's offsets
    // stay put as long as they can.
    const bool holds = m_cursor >= oldStart && m_cursor <= oldStart + readerWindow;
    const qsizetype start = std::min(holds ? oldStart : readerStartFor(m_cursor, length()), known);
    const qsizetype end = std::min(start + readerWindow, known);
    m_readerStart = start;
    m_readerLength = end - start;
    if (start == oldStart && end == oldEnd)
        return;
    const auto tell = [this](bool insert, qsizetype at, qsizetype from, qsizetype to) {
        if (from >= to)
            return;
        const QString text = readable(m_text.text(from, to));
        if (insert) {
            QAccessibleTextInsertEvent event(this, clampedInt(at), text);
            QAccessible::updateAccessibility(&event);
        } else {
            QAccessibleTextRemoveEvent event(this, clampedInt(at), text);
            QAccessible::updateAccessibility(&event);
        }
    };
    if (start >= oldEnd || end <= oldStart) {
        tell(false, 0, oldStart, oldEnd);
        if (!arrivals)
            tell(true, 0, start, end);
        return;
    }
    // The front first, so that the back is told in offsets of the new start.
    if (start > oldStart)
        tell(false, 0, oldStart, start);
    else
        tell(true, 0, start, oldStart);
    if (arrivals)
        return;
    if (end < oldEnd)
        tell(false, end - start, end, oldEnd);
    else
        tell(true, oldEnd - start, oldEnd, end);
}

void TextField::announceArrivals()
{
    // A quiet interval ends the pacing: the next arrival is told at once.
    if (m_unannouncedFrom < 0)
        return;
    moveReaderWindow(true);
    // Told whether or not a reader listens yet: paced, it costs one short
    // text a tenth of a second, and Qt drops it when nobody takes it.
    const qsizetype end = length();
    const qsizetype from = std::max({ m_unannouncedFrom, end - maxAnnounced, m_readerStart });
    m_unannouncedFrom = -1;
    m_readerLength = readerLength();
    if (from < end) {
        QAccessibleTextInsertEvent inserted(this, clampedInt(from - m_readerStart),
                                            readable(m_text.text(from, end)));
        QAccessible::updateAccessibility(&inserted);
    }
    m_announceTimer.start(announceIntervalMs);
}

void TextField::announceEdit(qsizetype at, const QString &removed, qsizetype inserted)
{
    // Screen readers hear of an edit in the window they see; the window then
    // follows the caret.
    const qsizetype start = m_readerStart;
    const bool seen = at >= start && at <= start + m_readerLength;
    if (seen)
        m_readerLength
                = std::max<qsizetype>(at - start, m_readerLength - removed.size()) + inserted;
    if (!QAccessible::isActive() || !seen) {
        cursorMoved();
        return;
    }
    const QString added = readable(m_text.text(at, at + std::min(inserted, maxAnnounced)));
    const qsizetype offset = at - start;
    if (!removed.isEmpty() && !added.isEmpty()) {
        QAccessibleTextUpdateEvent update(this, clampedInt(offset), readable(removed), added);
        QAccessible::updateAccessibility(&update);
    } else if (!removed.isEmpty()) {
        QAccessibleTextRemoveEvent remove(this, clampedInt(offset), readable(removed));
        QAccessible::updateAccessibility(&remove);
    } else {
        QAccessibleTextInsertEvent insert(this, clampedInt(offset), added);
        QAccessible::updateAccessibility(&insert);
    }
    cursorMoved();
}

void TextField::cursorMoved()
{
    if (hasFocus())
        QGuiApplication::inputMethod()->update(Qt::ImQueryInput);
    // Arrivals waiting for their paced notice are told first, so that the
    // window can follow the caret into them.
    if (m_unannouncedFrom >= 0)
        announceArrivals();
    moveReaderWindow(false);
    if (!QAccessible::isActive())
        return;
    const auto offset = [this](qsizetype position) {
        return clampedInt(std::clamp<qsizetype>(position - readerStart(), 0, readerLength()));
    };
    QAccessibleTextCursorEvent caret(this, offset(m_cursor));
    QAccessible::updateAccessibility(&caret);
    if (hasSelection()) {
        QAccessibleTextSelectionEvent selection(this, offset(selectionStart()),
                                                offset(selectionEnd()));
        selection.setCursorPosition(offset(m_cursor));
        QAccessible::updateAccessibility(&selection);
    }
}
