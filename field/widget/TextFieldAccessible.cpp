// What screen readers see of the log: an editable multi-line text whose text,
// caret and selection come from the model, never from a copy of the whole log.
//
// They see a window of it around the caret (ReaderWindow), since Qt's bridge
// answers some of their calls with a loop over every offset up to the
// character count: the extents of a range ask for the rectangle of each
// character in it. A character off screen has no rectangle and costs a
// comparison, so no call costs more than the window and the screen.
#include "field/layout/TextCaret.h"
#include "field/widget/ReaderWindow.h"
#include "field/widget/TextField.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace {

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
        state.editable = !view()->isReadOnly();
        state.readOnly = view()->isReadOnly();
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
        return ReaderWindow::readable(view()->textBetween(from, std::max(from, positionOf(end))));
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

    // A screen reader's edits are the user's: none in a read-only field.
    void deleteText(int start, int end) override { replaceText(start, end, {}); }
    void insertText(int offset, const QString &text) override { replaceText(offset, offset, text); }
    void replaceText(int start, int end, const QString &text) override
    {
        if (!view()->isReadOnly())
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
        return ReaderWindow::readable(view()->textBetween(from, to));
    }

    // The piece of text of the given kind that holds the position. A line is
    // a paragraph of the model with its break; a break counts as a word of its
    // own. Each is at most a few paragraphs long.
    Range around(qsizetype offset, QAccessible::TextBoundaryType type) const
    {
        const TextStore &text = view()->store();
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
            return { offset, offset + 1 + (splitsUnit(text, offset + 1) ? 1 : 0) };
        case QAccessible::WordBoundary:
            if (offset >= textEnd)
                return { textEnd, std::max(next, textEnd + 1) };
            return wordAround(text, offset);
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
