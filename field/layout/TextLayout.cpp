#include "field/layout/TextLayout.h"
#include "field/layout/TextCaret.h"

#include <QFontMetricsF>
#include <QTextBoundaryFinder>
#include <QTextOption>

#include <algorithm>
#include <cmath>

namespace {

// Layouts kept at most; a screen needs a few dozen, moving by pages a few more.
constexpr std::size_t maxLayouts = 1024;
// Layout starts kept at most; they are cheap, and found again a window's
// layouts at a time.
constexpr std::size_t maxCarries = std::size_t(1) << 16;
// How far back from a cut a restart of the chain looks for a break opportunity.
constexpr qsizetype restartReach = 1024;

// The rows estimate's scale: characters a visual line holds on average.
double charsPerLine(qreal width, const QFont &font)
{
    return std::max(1.0, width / std::max<qreal>(1, QFontMetricsF(font).averageCharWidth()));
}

} // namespace

TextLayout::TextLayout(const TextStore &text)
    : m_text(text)
    , m_paragraphCount(text.paragraphCount())
    , m_heardEdits(text.edits())
{ }

TextLayout::~TextLayout() = default;

void TextLayout::textChanged(qsizetype from, qsizetype removed, qsizetype inserted)
{
    if (removed == 0 && from + inserted == m_text.length()) {
        // Text came at the end: only the last paragraph can have changed, and
        // the one before it when an LF joins the CR that ended it into one
        // break. Found by count, as a flood of appends must not look the end
        // up in the text each time.
        dropFrom(m_paragraphCount - 2);
    } else {
        // The paragraph before the one that holds the change now may have read
        // into it (a layout reads past its cut, and a CR there may have been
        // joined by an LF), and every one after it may have moved.
        dropFrom(m_text.paragraphAt(from) - 1);
    }
    m_paragraphCount = m_text.paragraphCount();
    m_heardEdits = m_text.edits();
}

bool TextLayout::setWidth(qreal width)
{
    if (width == m_width)
        return false;
    m_width = width;
    dropFrom(0);
    m_charsPerLine = charsPerLine(m_width, m_font);
    return true;
}

void TextLayout::setFont(const QFont &font)
{
    m_font = font;
    m_lineHeight = std::max(1, int(std::ceil(QFontMetricsF(m_font).lineSpacing())));
    dropFrom(0);
    m_charsPerLine = charsPerLine(m_width, m_font);
}

void TextLayout::setPreedit(qsizetype at, const QString &preedit)
{
    const bool changed = preedit != m_preedit;
    if (!changed && (preedit.isEmpty() || at == m_preeditAt))
        return;
    if (m_preeditParagraph >= 0) {
        m_layouts.erase(m_preeditParagraph);
        m_preeditParagraph = -1;
    }
    m_preedit = preedit;
    m_preeditAt = at;
    // Either of two paragraphs may show the position. The end, where each
    // arrival puts the caret, is found by count, not looked up in the text.
    const qsizetype paragraph
            = at >= m_text.length() ? m_text.paragraphCount() - 1 : m_text.paragraphAt(at);
    m_layouts.erase(paragraph);
    m_layouts.erase(paragraph + 1);
}

void TextLayout::dropFrom(qsizetype paragraph)
{
    paragraph = std::max<qsizetype>(0, paragraph);
    m_layouts.erase(m_layouts.lower_bound(paragraph), m_layouts.end());
    m_carries.erase(m_carries.lower_bound(paragraph), m_carries.end());
    if (m_preeditParagraph >= paragraph)
        m_preeditParagraph = -1;
}

const TextLayout::Laid &TextLayout::laid(qsizetype paragraph)
{
    // A change nobody told the layout of leaves kept layouts stale.
    Q_ASSERT_X(heardEveryChange(), "TextLayout", "the text changed without textChanged()");
    paragraph = std::clamp<qsizetype>(paragraph, 0, m_text.paragraphCount() - 1);
    if (const auto found = m_layouts.find(paragraph); found != m_layouts.end())
        return *found->second;
    // May lay out the paragraphs before it in the same line.
    const qsizetype start = layoutStart(paragraph);
    // Callers hold layouts of the paragraphs next to the one they ask for, so
    // the farthest go first.
    while (m_layouts.size() >= maxLayouts) {
        const auto first = m_layouts.begin();
        const auto last = std::prev(m_layouts.end());
        m_layouts.erase(paragraph - first->first > last->first - paragraph ? first : last);
    }
    auto laid = std::make_unique<Laid>();
    laid->paragraph = m_text.paragraph(paragraph);
    laid->start = start;
    wrap(*laid, paragraph);
    if (laid->nextStart >= 0) {
        if (m_carries.size() >= maxCarries)
            m_carries.clear();
        m_carries[paragraph + 1] = laid->nextStart;
    }
    return *m_layouts.emplace(paragraph, std::move(laid)).first->second;
}

void TextLayout::layOut(Laid &laid, qsizetype end, int preeditColumn) const
{
    QTextLayout &layout = laid.layout;
    layout.setText(m_text.text(laid.start, end));
    layout.setFont(m_font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.setPreeditArea(preeditColumn, preeditColumn >= 0 ? m_preedit : QString());
    // Every line gets the same height, so that the view can count in lines.
    layout.beginLayout();
    for (qreal y = 0;; y += m_lineHeight) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(m_width);
        line.setPosition(QPointF(0, y));
    }
    layout.endLayout();
}

void TextLayout::wrap(Laid &laid, qsizetype paragraph)
{
    const TextStore::Paragraph &info = laid.paragraph;
    const qsizetype cut = info.start + info.length;
    const auto all = [&] { return qsizetype(std::max(1, laid.layout.lineCount())); };
    if (info.breakLength > 0 || paragraph + 1 >= m_text.paragraphCount()) {
        layOut(laid, cut);
        laid.shown = all();
    } else if (restartsChain(paragraph + 1)) {
        laid.nextStart = restartAt(paragraph + 1);
        layOut(laid, laid.nextStart);
        laid.shown = all();
    } else {
        // Lay out past the cut, so that the visual line holding it wraps as it
        // would in the whole line; the next layout starts with that line.
        const TextStore::Paragraph next = m_text.paragraph(paragraph + 1);
        const qsizetype available = next.start + next.length;
        const bool goesOn = next.breakLength == 0 && paragraph + 2 < m_text.paragraphCount();
        for (qsizetype ahead = lookahead;; ahead = m_text.limits().paragraphUnits) {
            qsizetype end = std::min(available, cut + ahead);
            if (end < available && splitsUnit(m_text, end))
                ++end;
            layOut(laid, end);
            const QTextLine holding = laid.layout.lineForTextPosition(int(cut - laid.start));
            const bool decided = holding.lineNumber() + 1 < laid.layout.lineCount()
                                 || (end == available && !goesOn);
            if (!decided && ahead < m_text.limits().paragraphUnits)
                continue;
            if (holding.lineNumber() > 0) {
                laid.shown = holding.lineNumber();
                laid.nextStart = laid.start + holding.textStart();
            } else {
                // One visual line longer than a paragraph (zero-width text):
                // the cut shows, off any surrogate pair.
                laid.nextStart = snapped(m_text, cut);
                layOut(laid, laid.nextStart);
                laid.shown = all();
            }
            break;
        }
    }
    const qsizetype caret = m_preeditAt;
    if (m_preedit.isEmpty() || caret < laid.start || caret > shownEnd(laid)
        || (laid.nextStart >= 0 && caret == laid.nextStart))
        return;
    // The composed text shows inside the lines of the caret's paragraph; the
    // next paragraph's start still comes from the text alone.
    const auto column = int(caret - laid.start);
    const qsizetype end = laid.start + laid.layout.text().size();
    layOut(laid, end, column);
    m_preeditParagraph = paragraph;
    if (laid.nextStart < 0) {
        laid.shown = all();
        return;
    }
    const auto limit = int(laid.nextStart - laid.start + m_preedit.size());
    qsizetype shown = 0;
    while (shown < laid.layout.lineCount() && laid.layout.lineAt(int(shown)).textStart() < limit)
        ++shown;
    laid.shown = std::max<qsizetype>(1, shown);
}

qsizetype TextLayout::layoutStart(qsizetype paragraph)
{
    if (paragraph <= 0)
        return 0;
    if (m_text.breakLengthAfter(paragraph - 1) > 0)
        return m_text.paragraphStart(paragraph);
    if (const auto found = m_carries.find(paragraph); found != m_carries.end())
        return found->second;
    if (restartsChain(paragraph)) {
        const qsizetype start = restartAt(paragraph);
        m_carries[paragraph] = start;
        return start;
    }
    return laid(paragraph - 1).nextStart;
}

bool TextLayout::restartsChain(qsizetype paragraph) const
{
    const qsizetype first = m_text.paragraphAt(m_text.lineStart(m_text.paragraphStart(paragraph)));
    return paragraph > first && (paragraph - first) % wrapWindow == 0;
}

qsizetype TextLayout::restartAt(qsizetype paragraph) const
{
    const qsizetype cut = m_text.paragraphStart(paragraph);
    const qsizetype from = std::max(m_text.paragraphStart(paragraph - 1) + 1, cut - restartReach);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Line, m_text.text(from, cut + 64));
    finder.setPosition(cut - from);
    const qsizetype at = finder.isAtBoundary() ? cut - from : finder.toPreviousBoundary();
    if (at > 0)
        return from + at;
    // Nowhere to break near: the cut shows, off any surrogate pair.
    return snapped(m_text, cut);
}

qsizetype TextLayout::shownParagraph(qsizetype position)
{
    const qsizetype paragraph = m_text.paragraphAt(position);
    if (paragraph + 1 < m_text.paragraphCount() && m_text.breakLengthAfter(paragraph) == 0
        && position >= layoutStart(paragraph + 1))
        return paragraph + 1;
    return paragraph;
}

qsizetype TextLayout::shownEnd(const Laid &laid)
{
    return laid.nextStart >= 0 ? laid.nextStart : laid.paragraph.start + laid.paragraph.length;
}

TextLayout::Line TextLayout::moved(Line from, qsizetype lines)
{
    const qsizetype last = m_text.paragraphCount() - 1;
    Line at = from;
    while (lines > 0) {
        const qsizetype room = lineCount(at.paragraph) - 1 - at.line;
        if (lines <= room) {
            at.line += lines;
            break;
        }
        if (at.paragraph >= last) {
            at.line += room;
            break;
        }
        lines -= room + 1;
        at = Line { at.paragraph + 1, 0 };
    }
    while (lines < 0) {
        if (-lines <= at.line) {
            at.line += lines;
            break;
        }
        if (at.paragraph == 0) {
            at.line = 0;
            break;
        }
        lines += at.line + 1;
        at.paragraph -= 1;
        at.line = lineCount(at.paragraph) - 1;
    }
    return at;
}

qsizetype TextLayout::linesBetween(Line from, Line to, qsizetype limit)
{
    qsizetype count = 0;
    while (from.paragraph < to.paragraph && count < limit) {
        count += lineCount(from.paragraph) - from.line;
        from = Line { from.paragraph + 1, 0 };
    }
    return std::min(limit, count + (from.paragraph == to.paragraph ? to.line - from.line : 0));
}

TextLayout::Line TextLayout::lineOf(qsizetype position)
{
    const qsizetype paragraph = shownParagraph(position);
    const Laid &at = laid(paragraph);
    const qsizetype column = std::clamp<qsizetype>(position, at.start, shownEnd(at)) - at.start;
    const int line = at.layout.lineForTextPosition(int(column)).lineNumber();
    return Line { paragraph, std::clamp<qsizetype>(line, 0, at.shown - 1) };
}

qsizetype TextLayout::positionOnLine(Line line, qreal x, QTextLine::CursorPosition at)
{
    const Laid &on = laid(line.paragraph);
    const QTextLine textLine = on.layout.lineAt(int(line.line));
    if (!textLine.isValid())
        return on.start;
    const int column = textLine.xToCursor(x, at);
    return std::min(on.start + column, shownEnd(on));
}

qreal TextLayout::xOf(qsizetype position)
{
    const Laid &at = laid(shownParagraph(position));
    const auto column = int(std::clamp<qsizetype>(position, at.start, shownEnd(at)) - at.start);
    const QTextLine line = at.layout.lineForTextPosition(column);
    return line.isValid() ? line.cursorToX(column) : 0;
}

TextLayout::Line TextLayout::lastTop(qsizetype pageLines)
{
    qsizetype needed = pageLines;
    for (qsizetype paragraph = m_text.paragraphCount() - 1; paragraph >= 0; --paragraph) {
        const qsizetype lines = lineCount(paragraph);
        if (lines >= needed)
            return Line { paragraph, lines - needed };
        needed -= lines;
    }
    return Line {};
}

double TextLayout::rowsBefore(qsizetype paragraph) const
{
    const qsizetype count = m_text.paragraphCount();
    const qsizetype start = paragraph >= count ? m_text.length() : m_text.paragraphStart(paragraph);
    return double(paragraph) + double(start) / m_charsPerLine;
}

double TextLayout::rowOf(Line line)
{
    // Inside a paragraph its laid-out lines share its estimate evenly, so the
    // rows grow with every line down.
    const double from = rowsBefore(line.paragraph);
    const double to = rowsBefore(line.paragraph + 1);
    return from + (to - from) * double(line.line) / double(lineCount(line.paragraph));
}

TextLayout::Line TextLayout::lineAtRow(double row)
{
    qsizetype low = 0;
    qsizetype high = m_text.paragraphCount() - 1;
    while (low < high) {
        const qsizetype middle = low + (high - low + 1) / 2;
        if (rowsBefore(middle) <= row)
            low = middle;
        else
            high = middle - 1;
    }
    const double from = rowsBefore(low);
    const double span = rowsBefore(low + 1) - from;
    const qsizetype lines = lineCount(low);
    const auto line = qsizetype(std::max(0.0, (row - from) / span * double(lines)));
    return Line { low, std::min(line, lines - 1) };
}
