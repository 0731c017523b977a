#include "field/TextField.h"

#include <QAccessible>
#include <QEvent>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTextOption>

#include <algorithm>
#include <cmath>

void installTextFieldAccessibility();

namespace {

// Layouts kept at most; a screen needs a few dozen, moving by pages a few more.
constexpr std::size_t maxLayouts = 1024;

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
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (m_syncingBar)
            return;
        // The bottom of the bar shows the end whole, not the last paragraph at the top.
        const Line end = endTop();
        scrollTo(value >= end.paragraph ? end : Line { value, 0 });
    });
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
    m_cursor = m_anchor = m_text.length();
    m_desiredX = -1;
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
    m_text.clear();
    m_full = false;
    dropLayouts();
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
        syncScrollBar();
    }
    if (m_revealPending) {
        m_revealPending = false;
        const_cast<TextField *>(this)->ensureCursorVisible();
    }
}

void TextField::syncScrollBar() const
{
    QScrollBar *bar = verticalScrollBar();
    m_syncingBar = true;
    bar->setRange(0, int(m_endTop.paragraph));
    bar->setPageStep(int(std::max<qsizetype>(1, pageLines())));
    bar->setSingleStep(1);
    bar->setValue(int(m_top.paragraph));
    m_syncingBar = false;
}

void TextField::dropLayouts()
{
    m_layouts.clear();
    m_laidWidth = wrapWidth();
    m_endDirty = true;
}

void TextField::fontChanged()
{
    m_lineHeight = std::max(1, int(std::ceil(QFontMetricsF(font()).lineSpacing())));
    dropLayouts();
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
        m_laidWidth = wrapWidth();
        m_endDirty = true;
    }
    if (const auto found = m_layouts.find(paragraph); found != m_layouts.end())
        return *found->second;
    if (m_layouts.size() >= maxLayouts)
        m_layouts.clear();
    auto laid = std::make_unique<Laid>();
    laid->paragraph = m_text.paragraph(paragraph);
    const TextStore::Paragraph &info = laid->paragraph;
    QTextLayout &layout = laid->layout;
    layout.setText(m_text.text(info.start, info.start + info.length));
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    if (!m_preedit.isEmpty() && m_cursor >= info.start && m_cursor <= info.start + info.length
        && m_text.paragraphAt(m_cursor) == paragraph) {
        layout.setPreeditArea(int(m_cursor - info.start), m_preedit);
        m_preeditParagraph = paragraph;
        m_preeditAt = m_cursor;
        m_preeditLaid = m_preedit;
    }
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
    return *m_layouts.emplace(paragraph, std::move(laid)).first->second;
}

qsizetype TextField::lineCount(qsizetype paragraph) const
{
    return std::max(1, laid(paragraph).layout.lineCount());
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
    const qsizetype paragraph = m_text.paragraphAt(position);
    const Laid &at = laid(paragraph);
    const qsizetype column = std::min(position - at.paragraph.start, at.paragraph.length);
    const int line = at.layout.lineForTextPosition(int(column)).lineNumber();
    return Line { paragraph, std::max(0, line) };
}

qsizetype TextField::positionOnLine(Line line, qreal x, QTextLine::CursorPosition at) const
{
    const Laid &on = laid(line.paragraph);
    const QTextLine textLine = on.layout.lineAt(int(line.line));
    if (!textLine.isValid())
        return on.paragraph.start;
    const int column = textLine.xToCursor(x - margin, at);
    return on.paragraph.start + std::min<qsizetype>(column, on.paragraph.length);
}

qreal TextField::xOf(qsizetype position) const
{
    const qsizetype paragraph = m_text.paragraphAt(position);
    const Laid &at = laid(paragraph);
    const int column = int(std::min(position - at.paragraph.start, at.paragraph.length));
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
    const qsizetype caretParagraph = m_text.paragraphAt(m_cursor);
    const bool drawCaret = hasFocus() && m_caretShown;
    QTextCharFormat selected;
    selected.setBackground(colors.brush(QPalette::Highlight));
    selected.setForeground(colors.brush(QPalette::HighlightedText));
    const qreal breakWidth = QFontMetricsF(font()).horizontalAdvance(u' ');

    qreal y = margin - qreal(m_top.line * m_lineHeight);
    for (qsizetype paragraph = m_top.paragraph;
         paragraph < m_text.paragraphCount() && y < viewport()->height(); ++paragraph) {
        const Laid &at = laid(paragraph);
        const qsizetype start = at.paragraph.start;
        const qsizetype end = start + at.paragraph.length;
        QList<QTextLayout::FormatRange> selections;
        if (from < end && to > start) {
            const qsizetype first = std::max(from, start) - start;
            selections.append({ int(first), int(std::min(to, end) - start - first), selected });
        }
        const QPointF origin(margin, y);
        at.layout.draw(&painter, origin, selections);
        const int lines = std::max(1, at.layout.lineCount());
        // A selected line break shows as a space's width of selection.
        if (at.paragraph.breakLength > 0 && from <= end && to > end) {
            const QTextLine last = at.layout.lineAt(lines - 1);
            const qreal x = margin + (last.isValid() ? last.naturalTextWidth() : 0);
            painter.fillRect(QRectF(x, y + (lines - 1) * m_lineHeight, breakWidth, m_lineHeight),
                             colors.brush(QPalette::Highlight));
        }
        if (drawCaret && paragraph == caretParagraph) {
            const int column = int(std::min(m_cursor - start, at.paragraph.length));
            at.layout.drawCursor(&painter, origin, column + int(m_preedit.size()), 1);
        }
        y += qreal(lines) * m_lineHeight;
    }
}

void TextField::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    // The layouts hold lines of the old width; the top keeps its paragraph.
    if (wrapWidth() != m_laidWidth)
        dropLayouts();
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
