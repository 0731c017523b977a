// What screen readers see of the log: an editable multi-line text whose text,
// caret and selection come from the model, never from a copy of the whole log.
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
// A request for more text than this gets this much from where it starts.
constexpr qsizetype maxTextWindow = qsizetype(1) << 20;

int clampedInt(qsizetype value)
{
    return int(std::clamp<qsizetype>(value, 0, INT_MAX));
}

class TextFieldAccessible final :
    public QAccessibleWidget,
    public QAccessibleTextInterface,
    public QAccessibleEditableTextInterface
{
public:
    explicit TextFieldAccessible(TextField *view)
        : QAccessibleWidget(view, QAccessible::EditableText)
    { }

    TextField *view() const { return static_cast<TextField *>(widget()); }

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
        *start = any ? clampedInt(view()->selectionStart()) : 0;
        *end = any ? clampedInt(view()->selectionEnd()) : 0;
    }
    int selectionCount() const override { return view()->hasSelection() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { setCursorPosition(cursorPosition()); }
    void setSelection(int, int start, int end) override { view()->setSelection(start, end); }

    int cursorPosition() const override { return clampedInt(view()->cursorPosition()); }
    void setCursorPosition(int position) override { view()->setSelection(position, position); }

    QString text(int start, int end) const override
    {
        const qsizetype from = std::clamp<qsizetype>(start, 0, view()->length());
        const qsizetype to = std::clamp<qsizetype>(end, from, from + maxTextWindow);
        return view()->textBetween(from, to);
    }
    int characterCount() const override { return clampedInt(view()->length()); }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                         int *end) const override
    {
        return textOf(around(offset, type), start, end);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                             int *end) const override
    {
        const auto [from, to] = around(offset, type);
        if (from == 0 || type == QAccessible::NoBoundary)
            return textOf({ 0, 0 }, start, end);
        return textOf(around(from - 1, type), start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                            int *end) const override
    {
        const auto [from, to] = around(offset, type);
        const qsizetype length = view()->length();
        if (to >= length || type == QAccessible::NoBoundary)
            return textOf({ length, length }, start, end);
        return textOf(around(to, type), start, end);
    }

    QRect characterRect(int offset) const override
    {
        const QRect rect = view()->characterRect(offset);
        return QRect(view()->viewport()->mapToGlobal(rect.topLeft()), rect.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        const QPoint local = view()->viewport()->mapFromGlobal(point);
        if (!view()->viewport()->rect().contains(local))
            return -1;
        return clampedInt(view()->positionAt(local));
    }
    void scrollToSubstring(int start, int) override { setCursorPosition(start); }
    QString attributes(int, int *start, int *end) const override
    {
        *start = 0;
        *end = characterCount();
        return {};
    }

    void deleteText(int start, int end) override { view()->replaceText(start, end, {}); }
    void insertText(int offset, const QString &text) override
    {
        view()->replaceText(offset, offset, text);
    }
    void replaceText(int start, int end, const QString &text) override
    {
        view()->replaceText(start, end, text);
    }

private:
    using Range = std::pair<qsizetype, qsizetype>;

    QString textOf(Range range, int *start, int *end) const
    {
        *start = clampedInt(range.first);
        *end = clampedInt(range.second);
        return text(*start, *end);
    }

    // The piece of text of the given kind that holds the offset. A line is a
    // paragraph of the model with its break; a break counts as a word of its own.
    Range around(qsizetype offset, QAccessible::TextBoundaryType type) const
    {
        const TextStore &text = view()->model();
        const qsizetype length = text.length();
        offset = std::clamp<qsizetype>(offset, 0, length);
        if (type == QAccessible::NoBoundary)
            return { 0, length };
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

void TextField::announceArrivals()
{
    // A quiet interval ends the pacing: the next arrival is told at once.
    if (m_unannouncedFrom < 0)
        return;
    // Told whether or not a reader listens yet: paced, it costs one short
    // text a tenth of a second, and Qt drops it when nobody takes it.
    const qsizetype end = length();
    const qsizetype from = std::max(m_unannouncedFrom, end - maxAnnounced);
    m_unannouncedFrom = -1;
    if (from < end) {
        QAccessibleTextInsertEvent inserted(this, clampedInt(from), m_text.text(from, end));
        QAccessible::updateAccessibility(&inserted);
    }
    m_announceTimer.start(announceIntervalMs);
}

void TextField::announceEdit(qsizetype at, const QString &removed, qsizetype inserted)
{
    if (!QAccessible::isActive()) {
        cursorMoved();
        return;
    }
    const QString added = m_text.text(at, at + std::min(inserted, maxAnnounced));
    if (!removed.isEmpty() && !added.isEmpty()) {
        QAccessibleTextUpdateEvent update(this, clampedInt(at), removed, added);
        QAccessible::updateAccessibility(&update);
    } else if (!removed.isEmpty()) {
        QAccessibleTextRemoveEvent remove(this, clampedInt(at), removed);
        QAccessible::updateAccessibility(&remove);
    } else {
        QAccessibleTextInsertEvent insert(this, clampedInt(at), added);
        QAccessible::updateAccessibility(&insert);
    }
    cursorMoved();
}

void TextField::cursorMoved()
{
    if (hasFocus())
        QGuiApplication::inputMethod()->update(Qt::ImQueryInput);
    if (!QAccessible::isActive())
        return;
    QAccessibleTextCursorEvent caret(this, clampedInt(m_cursor));
    QAccessible::updateAccessibility(&caret);
    if (hasSelection()) {
        QAccessibleTextSelectionEvent selection(this, clampedInt(selectionStart()),
                                                clampedInt(selectionEnd()));
        selection.setCursorPosition(clampedInt(m_cursor));
        QAccessible::updateAccessibility(&selection);
    }
}
