#include "field/TextField.h"
#include "field/FindBar.h"

#include <QAccessible>
#include <QEvent>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTextBoundaryFinder>
#include <QTextOption>

#include <algorithm>
#include <cmath>
#include <limits>

void installTextFieldAccessibility();

namespace {

// Layouts kept at most; a screen needs a few dozen, moving by pages a few more.
constexpr std::size_t maxLayouts = 1024;
// Layout starts kept at most; they are cheap, and found again a window's
// layouts at a time.
constexpr std::size_t maxCarries = std::size_t(1) << 16;
// How far back from a cut a restart of the chain looks for a break opportunity.
constexpr qsizetype restartReach = 1024;

} // namespace

TextField::TextField(QWidget *parent)
    : TextField(TextStore::Limits {}, parent)
{ }

TextField::TextField(const TextStore::Limits &limits, QWidget *parent)
    : QAbstractScrollArea(parent)
    , m_text(limits)
{
    installTextFieldAccessibility();
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setAcceptDrops(true);
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, &TextField::refresh);
    m_announceTimer.setSingleShot(true);
    connect(&m_announceTimer, &QTimer::timeout, this, &TextField::announceArrivals);
    // Each slice waits for the events already queued, the repaint of the
    // emptied view first among them.
    m_releaseTimer.setInterval(0);
    connect(&m_releaseTimer, &QTimer::timeout, this, &TextField::releaseSlice);
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &TextField::scrollBarAction);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &TextField::scrollBarMoved);
    fontChanged();
}

TextField::~TextField()
{
    keepAllLent();
}

bool TextField::appendPiece(const QString &piece)
{
    return appendView(QStringView(piece));
}

bool TextField::appendPiece(QLatin1StringView piece)
{
    return appendView(piece);
}

template<typename View>
bool TextField::appendView(View piece)
{
    if (m_full)
        return false;
    const qsizetype lastParagraph = m_text.paragraphCount() - 1;
    const qsizetype before = m_text.length();
    if (!m_text.append(piece)) {
        m_full = true;
        return false;
    }
    if (piece.isEmpty())
        return true;
    // Only the last paragraph can have changed, and the one before it when an
    // LF joins the CR that ended it into one break; those after it are new.
    m_layouts.erase(m_layouts.lower_bound(std::max<qsizetype>(0, lastParagraph - 1)),
                    m_layouts.end());
    // The old last paragraph's layout looked ahead into what was the end.
    dropCarries(lastParagraph);
    m_cursor = m_anchor = m_text.length();
    m_desiredX = -1;
    // An arrival ends a run of typing, and the history makes room for it.
    m_history.textGrew();
    releaseLater();
    m_endDirty = true;
    m_revealPending = true;
    if (m_unannouncedFrom < 0)
        m_unannouncedFrom = before;
    if (!m_announceTimer.isActive())
        announceArrivals();
    scheduleRefresh();
    return true;
}

void TextField::clearLog()
{
    keepAllLent();
    // Clear is final: nothing it emptied can be undone.
    m_history.clear();
    m_text.clear();
    m_full = false;
    dropLayouts();
    dropCarries(0);
    m_cursor = m_anchor = 0;
    m_top = Line {};
    m_unannouncedFrom = -1;
    m_endDirty = true;
    m_revealPending = false;
    settle();
    viewport()->update();
    cursorMoved();
    releaseLater();
}

void TextField::releaseLater()
{
    if (m_text.hasMemoryToRelease() && !m_releaseTimer.isActive())
        m_releaseTimer.start();
}

void TextField::releaseSlice()
{
    if (!m_text.releaseMemory(releaseSliceBytes))
        m_releaseTimer.stop();
}

void TextField::scheduleRefresh()
{
    if (m_refreshTimer.isActive())
        return;
    const qint64 since = m_sinceRefresh.isValid() ? m_sinceRefresh.elapsed() : repaintIntervalMs;
    m_refreshTimer.start(int(std::max<qint64>(0, repaintIntervalMs - since)));
}

void TextField::refresh()
{
    m_sinceRefresh.start();
    m_refreshTimer.stop();
    settle();
    viewport()->update();
}

void TextField::settle() const
{
    // A narrower view may have fewer lines in the top paragraph than before.
    m_top.line = std::min(m_top.line, lineCount(m_top.paragraph) - 1);
    if (m_endDirty) {
        m_endDirty = false;
        m_endTop = endTop();
        if (m_endTop < m_top)
            m_top = m_endTop;
        // The bar's scale changes only with the end, the width or the font.
        const qreal average = QFontMetricsF(font()).averageCharWidth();
        m_charsPerLine = std::max(1.0, wrapWidth() / std::max<qreal>(1, average));
        m_endRows = rowOf(m_endTop);
        syncScrollBar();
    }
    if (m_revealPending) {
        m_revealPending = false;
        const_cast<TextField *>(this)->ensureCursorVisible();
    }
}

double TextField::rowsBefore(qsizetype paragraph) const
{
    const qsizetype count = m_text.paragraphCount();
    const qsizetype start = paragraph >= count ? m_text.length() : m_text.paragraphStart(paragraph);
    return double(paragraph) + double(start) / m_charsPerLine;
}

double TextField::rowOf(Line line) const
{
    // Inside a paragraph its laid-out lines share its estimate evenly, so the
    // rows grow with every line down.
    const double from = rowsBefore(line.paragraph);
    const double to = rowsBefore(line.paragraph + 1);
    return from + (to - from) * double(line.line) / double(lineCount(line.paragraph));
}

TextField::Line TextField::lineAtRow(double row) const
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

int TextField::barValue(Line line) const
{
    if (line == Line {})
        return 0;
    if (line == m_endTop)
        return m_barMaximum;
    // Only the ends sit at the ends of the bar.
    const int value = int(std::lround(rowOf(line) / m_rowsPerStep));
    return std::clamp(value, 1, std::max(1, m_barMaximum - 1));
}

void TextField::syncScrollBar() const
{
    QScrollBar *bar = verticalScrollBar();
    const double rows = m_endRows;
    m_rowsPerStep = std::max(1.0, rows / (double(std::numeric_limits<int>::max()) / 2));
    m_barMaximum = m_endTop == Line {} ? 0 : std::max(1, int(std::lround(rows / m_rowsPerStep)));
    m_syncingBar = true;
    bar->setRange(0, m_barMaximum);
    bar->setPageStep(int(std::max(1.0, double(pageLines()) / m_rowsPerStep)));
    bar->setSingleStep(1);
    // A drag keeps the thumb under the mouse.
    if (!bar->isSliderDown())
        bar->setValue(barValue(m_top));
    m_syncingBar = false;
}

void TextField::scrollBarAction(int action)
{
    // Steps move by laid-out lines, exactly, wherever the estimate stands.
    qsizetype lines = 0;
    switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
        lines = 1;
        break;
    case QAbstractSlider::SliderSingleStepSub:
        lines = -1;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        lines = pageLines();
        break;
    case QAbstractSlider::SliderPageStepSub:
        lines = -pageLines();
        break;
    default:
        return;
    }
    scrollByLines(lines);
    // The bar goes on to take its own step's value; it takes ours instead.
    m_syncingBar = true;
    verticalScrollBar()->setSliderPosition(barValue(m_top));
    m_syncingBar = false;
}

void TextField::scrollBarMoved(int value)
{
    if (m_syncingBar)
        return;
    settle();
    if (value >= m_barMaximum)
        scrollTo(m_endTop);
    else if (value <= 0)
        scrollTo(Line {});
    else
        scrollTo(lineAtRow(double(value) * m_rowsPerStep));
}

void TextField::dropLayouts()
{
    m_layouts.clear();
    m_laidWidth = wrapWidth();
    m_endDirty = true;
}

void TextField::dropCarries(qsizetype fromParagraph) const
{
    m_carries.erase(m_carries.lower_bound(fromParagraph), m_carries.end());
}

void TextField::fontChanged()
{
    m_lineHeight = std::max(1, int(std::ceil(QFontMetricsF(font()).lineSpacing())));
    dropLayouts();
    dropCarries(0);
    m_top.line = 0;
    viewport()->update();
}

qreal TextField::wrapWidth() const
{
    return std::max(1, viewport()->width() - 2 * margin);
}

qsizetype TextField::pageLines() const
{
    return std::max(1, (viewport()->height() - 2 * margin) / m_lineHeight);
}

const TextField::Laid &TextField::laid(qsizetype paragraph) const
{
    paragraph = std::clamp<qsizetype>(paragraph, 0, m_text.paragraphCount() - 1);
    forgetStalePreedit();
    if (wrapWidth() != m_laidWidth) {
        m_layouts.clear();
        m_carries.clear();
        m_laidWidth = wrapWidth();
        m_endDirty = true;
    }
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

void TextField::layOut(Laid &laid, qsizetype end, int preeditColumn) const
{
    QTextLayout &layout = laid.layout;
    layout.setText(m_text.text(laid.start, end));
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.setPreeditArea(preeditColumn, preeditColumn >= 0 ? m_preedit : QString());
    // Every line gets the same height, so that the view can count in lines.
    layout.beginLayout();
    const qreal width = wrapWidth();
    for (qreal y = 0;; y += m_lineHeight) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
    }
    layout.endLayout();
}

void TextField::wrap(Laid &laid, qsizetype paragraph) const
{
    const TextStore::Paragraph &info = laid.paragraph;
    const qsizetype cut = info.start + info.length;
    const auto all = [&] { return qsizetype(std::max(1, laid.layout.lineCount())); };
    const auto splitsPair = [&](qsizetype at) {
        return at > 0 && m_text.at(at).isLowSurrogate() && m_text.at(at - 1).isHighSurrogate();
    };
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
            if (end < available && splitsPair(end))
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
                laid.nextStart = cut - (splitsPair(cut) ? 1 : 0);
                layOut(laid, laid.nextStart);
                laid.shown = all();
            }
            break;
        }
    }
    if (m_preedit.isEmpty() || m_cursor < laid.start || m_cursor > shownEnd(laid)
        || (laid.nextStart >= 0 && m_cursor == laid.nextStart))
        return;
    // The composed text shows inside the lines of the caret's paragraph; the
    // next paragraph's start still comes from the text alone.
    const auto column = int(m_cursor - laid.start);
    const qsizetype end = laid.start + laid.layout.text().size();
    layOut(laid, end, column);
    m_preeditParagraph = paragraph;
    m_preeditAt = m_cursor;
    m_preeditLaid = m_preedit;
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

qsizetype TextField::layoutStart(qsizetype paragraph) const
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

bool TextField::restartsChain(qsizetype paragraph) const
{
    const qsizetype first = m_text.paragraphAt(m_text.lineStart(m_text.paragraphStart(paragraph)));
    return paragraph > first && (paragraph - first) % wrapWindow == 0;
}

qsizetype TextField::restartAt(qsizetype paragraph) const
{
    const qsizetype cut = m_text.paragraphStart(paragraph);
    const qsizetype from = std::max(m_text.paragraphStart(paragraph - 1) + 1, cut - restartReach);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Line, m_text.text(from, cut + 64));
    finder.setPosition(cut - from);
    const qsizetype at = finder.isAtBoundary() ? cut - from : finder.toPreviousBoundary();
    if (at > 0)
        return from + at;
    // Nowhere to break near: the cut shows, off any surrogate pair.
    const bool splitsPair = m_text.at(cut).isLowSurrogate() && m_text.at(cut - 1).isHighSurrogate();
    return cut - (splitsPair ? 1 : 0);
}

qsizetype TextField::shownParagraph(qsizetype position) const
{
    const qsizetype paragraph = m_text.paragraphAt(position);
    if (paragraph + 1 < m_text.paragraphCount() && m_text.breakLengthAfter(paragraph) == 0
        && position >= layoutStart(paragraph + 1))
        return paragraph + 1;
    return paragraph;
}

qsizetype TextField::shownEnd(const Laid &laid)
{
    return laid.nextStart >= 0 ? laid.nextStart : laid.paragraph.start + laid.paragraph.length;
}

qsizetype TextField::lineCount(qsizetype paragraph) const
{
    return laid(paragraph).shown;
}

TextField::Line TextField::moved(Line from, qsizetype lines) const
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

qsizetype TextField::linesBetween(Line from, Line to, qsizetype limit) const
{
    qsizetype count = 0;
    while (from.paragraph < to.paragraph && count < limit) {
        count += lineCount(from.paragraph) - from.line;
        from = Line { from.paragraph + 1, 0 };
    }
    return std::min(limit, count + (from.paragraph == to.paragraph ? to.line - from.line : 0));
}

TextField::Line TextField::lineOf(qsizetype position) const
{
    const qsizetype paragraph = shownParagraph(position);
    const Laid &at = laid(paragraph);
    const qsizetype column = std::clamp<qsizetype>(position, at.start, shownEnd(at)) - at.start;
    const int line = at.layout.lineForTextPosition(int(column)).lineNumber();
    return Line { paragraph, std::clamp<qsizetype>(line, 0, at.shown - 1) };
}

qsizetype TextField::positionOnLine(Line line, qreal x, QTextLine::CursorPosition at) const
{
    const Laid &on = laid(line.paragraph);
    const QTextLine textLine = on.layout.lineAt(int(line.line));
    if (!textLine.isValid())
        return on.start;
    const int column = textLine.xToCursor(x - margin, at);
    return std::min(on.start + column, shownEnd(on));
}

qreal TextField::xOf(qsizetype position) const
{
    const Laid &at = laid(shownParagraph(position));
    const auto column = int(std::clamp<qsizetype>(position, at.start, shownEnd(at)) - at.start);
    const QTextLine line = at.layout.lineForTextPosition(column);
    return margin + (line.isValid() ? line.cursorToX(column) : 0);
}

TextField::Line TextField::endTop() const
{
    qsizetype needed = pageLines();
    for (qsizetype paragraph = m_text.paragraphCount() - 1; paragraph >= 0; --paragraph) {
        const qsizetype lines = lineCount(paragraph);
        if (lines >= needed)
            return Line { paragraph, lines - needed };
        needed -= lines;
    }
    return Line {};
}

void TextField::scrollTo(Line top)
{
    settle();
    top = std::clamp(top, Line {}, m_endTop);
    if (top == m_top)
        return;
    m_top = top;
    syncScrollBar();
    viewport()->update();
}

void TextField::scrollByLines(qsizetype lines)
{
    settle();
    scrollTo(moved(m_top, lines));
}

void TextField::ensureCursorVisible()
{
    settle();
    const Line caret = lineOf(m_cursor);
    const qsizetype page = pageLines();
    if (caret < m_top)
        scrollTo(caret);
    else if (linesBetween(m_top, caret, page) >= page)
        scrollTo(moved(caret, 1 - page));
}

QRect TextField::caretRectAt(qsizetype position) const
{
    settle();
    const Line line = lineOf(position);
    const qsizetype below = linesBetween(m_top, line, pageLines() + 2);
    const int y = line < m_top ? -m_lineHeight : margin + int(below) * m_lineHeight;
    return QRect(int(xOf(position)), y, 1, m_lineHeight);
}

QRect TextField::cursorRect() const
{
    return caretRectAt(m_cursor);
}

QRect TextField::characterRect(qsizetype position) const
{
    QRect rect = caretRectAt(position);
    const qreal next = position < length() ? xOf(position + 1) : rect.x();
    rect.setWidth(std::max(1, int(next) - rect.x()));
    return rect;
}

qsizetype TextField::positionAt(QPoint point, QTextLine::CursorPosition at) const
{
    settle();
    const int y = point.y() - margin;
    const qsizetype lines = y >= 0 ? y / m_lineHeight : -((-y + m_lineHeight - 1) / m_lineHeight);
    return positionOnLine(moved(m_top, lines), point.x(), at);
}

void TextField::paintEvent(QPaintEvent *event)
{
    settle();
    QPainter painter(viewport());
    const QPalette &colors = palette();
    painter.fillRect(event->rect(), colors.brush(QPalette::Base));
    painter.setPen(colors.color(QPalette::Text));

    const qsizetype from = selectionStart();
    const qsizetype to = selectionEnd();
    const bool drawCaret = hasFocus() && m_caretShown;
    QTextCharFormat selected;
    selected.setBackground(colors.brush(QPalette::Highlight));
    selected.setForeground(colors.brush(QPalette::HighlightedText));
    const qreal breakWidth = QFontMetricsF(font()).horizontalAdvance(u' ');
    const FindBar::Highlights found
            = m_findBar ? m_findBar->highlights(shownRange()) : FindBar::Highlights {};

    qreal y = margin - qreal(m_top.line * m_lineHeight);
    for (qsizetype paragraph = m_top.paragraph;
         paragraph < m_text.paragraphCount() && y < viewport()->height(); ++paragraph) {
        const Laid &at = laid(paragraph);
        const qsizetype start = at.start;
        const qsizetype end = at.paragraph.start + at.paragraph.length;
        const qsizetype laidEnd = start + at.layout.text().size();
        QList<QTextLayout::FormatRange> selections;
        found.addTo(selections, start, laidEnd);
        if (from < laidEnd && to > start) {
            const qsizetype first = std::max(from, start) - start;
            selections.append({ int(first), int(std::min(to, laidEnd) - start - first), selected });
        }
        const QPointF origin(margin, y);
        const int lines = int(at.shown);
        // The lines past the shown ones belong to the next paragraph's layout.
        painter.setClipRect(QRectF(0, y, viewport()->width(), qreal(lines) * m_lineHeight));
        at.layout.draw(&painter, origin, selections);
        painter.setClipping(false);
        // A selected line break shows as a space's width of selection.
        if (at.paragraph.breakLength > 0 && from <= end && to > end) {
            const QTextLine last = at.layout.lineAt(lines - 1);
            const qreal x = margin + (last.isValid() ? last.naturalTextWidth() : 0);
            painter.fillRect(QRectF(x, y + (lines - 1) * m_lineHeight, breakWidth, m_lineHeight),
                             colors.brush(QPalette::Highlight));
        }
        const bool showsCaret
                = m_cursor >= start
                  && (m_cursor < shownEnd(at) || (at.nextStart < 0 && m_cursor == shownEnd(at)));
        if (drawCaret && showsCaret) {
            const auto column = int(m_cursor - start);
            at.layout.drawCursor(&painter, origin, column + int(m_preedit.size()), 1);
        }
        y += qreal(lines) * m_lineHeight;
    }
    painter.setClipRect(event->rect());
    drawCornerMark(painter);
}

void TextField::setCornerMark(const QString &mark)
{
    if (mark == m_cornerMark)
        return;
    m_cornerMark = mark;
    viewport()->update();
}

void TextField::drawCornerMark(QPainter &painter) const
{
    if (m_cornerMark.isEmpty())
        return;
    // Small and in the selection's colours, so it reads as the field's state
    // rather than as text; it stays put while the text scrolls under it.
    QFont small = font();
    small.setBold(true);
    if (small.pointSizeF() > 0)
        small.setPointSizeF(small.pointSizeF() * 0.75);
    else
        small.setPixelSize(std::max(6, small.pixelSize() * 3 / 4));
    const QFontMetrics metrics(small);
    QRect box(0, 0, metrics.horizontalAdvance(m_cornerMark) + 6, metrics.height());
    box.moveTopRight(QPoint(viewport()->width() - 1 - margin / 2, margin / 2));
    painter.fillRect(box, palette().brush(QPalette::Highlight));
    painter.setFont(small);
    painter.setPen(palette().color(QPalette::HighlightedText));
    painter.drawText(box, Qt::AlignCenter, m_cornerMark);
}

void TextField::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    // The layouts hold lines of the old width; the top keeps its paragraph.
    if (wrapWidth() != m_laidWidth) {
        dropLayouts();
        dropCarries(0);
    }
    m_endDirty = true;
    settle();
}

void TextField::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        fontChanged();
    else if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange)
        viewport()->update();
}

void TextField::scrollContentsBy(int, int)
{
    // The bar's own moves are followed through its valueChanged signal.
}
