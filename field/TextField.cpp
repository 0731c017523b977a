#include "field/TextField.h"

#include <QAccessible>
#include <QEvent>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>
#include <cmath>
#include <limits>

void installTextFieldAccessibility();

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
    const qsizetype before = m_text.length();
    if (!m_text.append(piece)) {
        m_full = true;
        return false;
    }
    if (piece.isEmpty())
        return true;
    m_layout.textChanged(before, 0, piece.size());
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
    const qsizetype cleared = m_text.length();
    keepAllLent();
    // Clear is final: nothing it emptied can be undone.
    m_history.clear();
    m_text.clear();
    m_full = false;
    m_layout.textChanged(0, cleared, 0);
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

void TextField::settle()
{
    if (m_layout.setWidth(wrapWidth()))
        m_endDirty = true;
    m_layout.setPreedit(m_cursor, m_preedit);
    // A narrower view may have fewer lines in the top paragraph than before.
    m_top.line = std::min(m_top.line, m_layout.lineCount(m_top.paragraph) - 1);
    if (m_endDirty) {
        m_endDirty = false;
        m_endTop = m_layout.lastTop(pageLines());
        if (m_endTop < m_top)
            m_top = m_endTop;
        m_endRows = m_layout.rowOf(m_endTop);
        syncScrollBar();
    }
    if (m_revealPending) {
        m_revealPending = false;
        ensureCursorVisible();
    }
}

int TextField::barValue(Line line)
{
    if (line == Line {})
        return 0;
    if (line == m_endTop)
        return m_barMaximum;
    // Only the ends sit at the ends of the bar.
    const int value = int(std::lround(m_layout.rowOf(line) / m_rowsPerStep));
    return std::clamp(value, 1, std::max(1, m_barMaximum - 1));
}

void TextField::syncScrollBar()
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
        scrollTo(m_layout.lineAtRow(double(value) * m_rowsPerStep));
}

void TextField::fontChanged()
{
    m_layout.setFont(font());
    m_endDirty = true;
    m_top.line = 0;
    viewport()->update();
}

qreal TextField::wrapWidth() const
{
    return std::max(1, viewport()->width() - 2 * margin);
}

qsizetype TextField::pageLines() const
{
    return std::max(1, (viewport()->height() - 2 * margin) / m_layout.lineHeight());
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
    scrollTo(m_layout.moved(m_top, lines));
}

void TextField::ensureCursorVisible()
{
    settle();
    const Line caret = m_layout.lineOf(m_cursor);
    const qsizetype page = pageLines();
    if (caret < m_top)
        scrollTo(caret);
    else if (m_layout.linesBetween(m_top, caret, page) >= page)
        scrollTo(m_layout.moved(caret, 1 - page));
}

QRect TextField::caretRectAt(qsizetype position)
{
    settle();
    const Line line = m_layout.lineOf(position);
    const qsizetype below = m_layout.linesBetween(m_top, line, pageLines() + 2);
    const int height = m_layout.lineHeight();
    const int y = line < m_top ? -height : margin + int(below) * height;
    return QRect(int(margin + m_layout.xOf(position)), y, 1, height);
}

QRect TextField::cursorRect()
{
    return caretRectAt(m_cursor);
}

QRect TextField::characterRect(qsizetype position)
{
    QRect rect = caretRectAt(position);
    const qreal next = position < length() ? margin + m_layout.xOf(position + 1) : rect.x();
    rect.setWidth(std::max(1, int(next) - rect.x()));
    return rect;
}

qsizetype TextField::positionAt(QPoint point, QTextLine::CursorPosition at)
{
    settle();
    const int height = m_layout.lineHeight();
    const int y = point.y() - margin;
    const qsizetype lines = y >= 0 ? y / height : -((-y + height - 1) / height);
    return m_layout.positionOnLine(m_layout.moved(m_top, lines), point.x() - margin, at);
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
    const int lineHeight = m_layout.lineHeight();

    qreal y = margin - qreal(m_top.line * lineHeight);
    for (qsizetype paragraph = m_top.paragraph;
         paragraph < m_text.paragraphCount() && y < viewport()->height(); ++paragraph) {
        const Laid &at = m_layout.laid(paragraph);
        const qsizetype start = at.start;
        const qsizetype end = at.paragraph.start + at.paragraph.length;
        const qsizetype laidEnd = start + at.layout.text().size();
        QList<QTextLayout::FormatRange> selections;
        if (from < laidEnd && to > start) {
            const qsizetype first = std::max(from, start) - start;
            selections.append({ int(first), int(std::min(to, laidEnd) - start - first), selected });
        }
        const QPointF origin(margin, y);
        const int lines = int(at.shown);
        // The lines past the shown ones belong to the next paragraph's layout.
        painter.setClipRect(QRectF(0, y, viewport()->width(), qreal(lines) * lineHeight));
        at.layout.draw(&painter, origin, selections);
        painter.setClipping(false);
        // A selected line break shows as a space's width of selection.
        if (at.paragraph.breakLength > 0 && from <= end && to > end) {
            const QTextLine last = at.layout.lineAt(lines - 1);
            const qreal x = margin + (last.isValid() ? last.naturalTextWidth() : 0);
            painter.fillRect(QRectF(x, y + (lines - 1) * lineHeight, breakWidth, lineHeight),
                             colors.brush(QPalette::Highlight));
        }
        const bool showsCaret
                = m_cursor >= start
                  && (m_cursor < TextLayout::shownEnd(at)
                      || (at.nextStart < 0 && m_cursor == TextLayout::shownEnd(at)));
        if (drawCaret && showsCaret) {
            const auto column = int(m_cursor - start);
            at.layout.drawCursor(&painter, origin, column + int(m_preedit.size()), 1);
        }
        y += qreal(lines) * lineHeight;
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
    // The top keeps its paragraph; settling lays out at the new width.
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
