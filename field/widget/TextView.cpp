#include "field/widget/TextView.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

TextView::TextView(const TextStore &text, TextLayout &layout, QAbstractScrollArea &area)
    : m_text(text)
    , m_layout(layout)
    , m_viewport(*area.viewport())
    , m_bar(*area.verticalScrollBar())
{
    m_refreshTimer.setSingleShot(true);
    QObject::connect(&m_refreshTimer, &QTimer::timeout, &m_viewport, [this] { refresh(); });
    // Undone in the destructor: the bar outlives the view.
    m_barActions = QObject::connect(&m_bar, &QScrollBar::actionTriggered, &m_viewport,
                                    [this](int action) { scrollBarAction(action); });
    m_barMoves = QObject::connect(&m_bar, &QScrollBar::valueChanged, &m_viewport,
                                  [this](int value) { scrollBarMoved(value); });
}

TextView::~TextView()
{
    QObject::disconnect(m_barActions);
    QObject::disconnect(m_barMoves);
}

void TextView::textChanged(const TextChange &change)
{
    const bool cleared = change.cause == TextChange::Cause::Clear;
    if (cleared)
        revealLater(-1);
    followChange(change.from, change.removed, change.inserted);
    // An empty view settles at once, so that the bar empties with it.
    if (cleared)
        settle();
    refreshLater();
}

void TextView::revealSoon(qsizetype position)
{
    revealLater(position);
    refreshLater();
}

QRect TextView::viewportRect() const
{
    return m_viewport.rect();
}

void TextView::followChange(qsizetype from, qsizetype removed, qsizetype inserted)
{
    m_endDirty = true;
    // A position still to be revealed moves with the text, as the store's marks do.
    if (m_revealAt >= from) {
        if (removed > 0)
            m_revealAt = m_revealAt > from + removed ? m_revealAt - removed : from;
        m_revealAt += inserted;
    }
    // Paragraphs that start before the change keep their number and start.
    if (m_topStart < from)
        return;
    // The top stays on the text it showed, or where that text was.
    qsizetype topStart = m_topStart;
    if (topStart > from)
        topStart = topStart >= from + removed ? topStart - removed + inserted : from;
    const qsizetype paragraph = m_text.paragraphAt(topStart);
    setTop(Line { paragraph, paragraph == m_top.paragraph ? m_top.line : 0 });
}

void TextView::revealLater(qsizetype position)
{
    m_revealAt = position;
}

void TextView::refreshLater()
{
    if (m_refreshTimer.isActive())
        return;
    const qint64 since = m_sinceRefresh.isValid() ? m_sinceRefresh.elapsed() : repaintIntervalMs;
    m_refreshTimer.start(int(std::max<qint64>(0, repaintIntervalMs - since)));
}

void TextView::refresh()
{
    m_sinceRefresh.start();
    m_refreshTimer.stop();
    settle();
    m_viewport.update();
}

void TextView::resized()
{
    // The top keeps its paragraph; settling lays out at the new width.
    m_endDirty = true;
    settle();
}

void TextView::fontChanged()
{
    m_endDirty = true;
    m_top.line = 0;
    m_viewport.update();
}

qreal TextView::wrapWidth() const
{
    return std::max(1, m_viewport.width() - 2 * margin);
}

qsizetype TextView::pageLines() const
{
    return std::max(1, (m_viewport.height() - 2 * margin) / m_layout.lineHeight());
}

void TextView::setTop(Line top)
{
    m_top = top;
    m_topStart = m_text.paragraphStart(top.paragraph);
}

void TextView::settle()
{
    if (m_layout.setWidth(wrapWidth()))
        m_endDirty = true;
    // A narrower view may have fewer lines in the top paragraph than before.
    m_top.line = std::min(m_top.line, m_layout.lineCount(m_top.paragraph) - 1);
    if (m_endDirty) {
        m_endDirty = false;
        m_endTop = m_layout.lastTop(pageLines());
        if (m_endTop < m_top)
            setTop(m_endTop);
        m_endRows = m_layout.rowOf(m_endTop);
        syncScrollBar();
    }
    if (m_revealAt >= 0)
        ensureVisible(std::exchange(m_revealAt, -1));
}

bool TextView::settleToPaint()
{
    const Line before = m_top;
    m_painting = true;
    settle();
    m_painting = false;
    return m_top != before;
}

void TextView::scrollTo(Line top)
{
    settle();
    top = std::clamp(top, Line {}, m_endTop);
    if (top == m_top)
        return;
    setTop(top);
    syncScrollBar();
    if (!m_painting)
        m_viewport.update();
}

void TextView::scrollByLines(qsizetype lines)
{
    settle();
    scrollTo(m_layout.moved(m_top, lines));
}

void TextView::ensureVisible(qsizetype position)
{
    settle();
    const Line line = m_layout.lineOf(position);
    const qsizetype page = pageLines();
    if (line < m_top)
        scrollTo(line);
    else if (m_layout.linesBetween(m_top, line, page) >= page)
        scrollTo(m_layout.moved(line, 1 - page));
}

void TextView::wheel(QWheelEvent *event)
{
    m_wheelRemainder += event->angleDelta().y();
    const int steps = m_wheelRemainder / QWheelEvent::DefaultDeltasPerStep;
    m_wheelRemainder -= steps * QWheelEvent::DefaultDeltasPerStep;
    if (steps != 0)
        scrollByLines(-qsizetype(steps) * QApplication::wheelScrollLines());
    event->accept();
}

QRect TextView::caretRect(qsizetype position)
{
    settle();
    const Line line = m_layout.lineOf(position);
    const qsizetype below = m_layout.linesBetween(m_top, line, pageLines() + 2);
    const int height = m_layout.lineHeight();
    const int y = line < m_top ? -height : margin + int(below) * height;
    return QRect(int(margin + m_layout.xOf(position)), y, 1, height);
}

QRect TextView::characterRect(qsizetype position)
{
    QRect rect = caretRect(position);
    const qreal next = position < m_text.length() ? margin + m_layout.xOf(position + 1) : rect.x();
    rect.setWidth(std::max(1, int(next) - rect.x()));
    return rect;
}

qsizetype TextView::positionAt(QPoint point, QTextLine::CursorPosition at)
{
    settle();
    const int height = m_layout.lineHeight();
    const int y = point.y() - margin;
    const qsizetype lines = y >= 0 ? y / height : -((-y + height - 1) / height);
    return m_layout.positionOnLine(m_layout.moved(m_top, lines), point.x() - margin, at);
}

QPoint TextView::onWholeLines(QPoint point) const
{
    const int height = m_layout.lineHeight();
    const int firstY = margin + height / 2;
    const int lastY = margin + int(pageLines() - 1) * height + height / 2;
    return { std::clamp(point.x(), 0, std::max(0, m_viewport.width() - 1)),
             std::clamp(point.y(), firstY, std::max(firstY, lastY)) };
}

std::pair<qsizetype, qsizetype> TextView::shownRange()
{
    // Asked for every offset of a range: the check must stay a few comparisons.
    const int lineHeight = m_layout.lineHeight();
    const ShownKey key { m_text.length(),   m_text.edits(), m_top,
                         m_viewport.size(), lineHeight,     m_layout.preedit().size(),
                         m_layout.font() };
    if (key == m_shownKey && !m_endDirty && m_revealAt < 0)
        return m_shown;
    settle();
    using Laid = TextLayout::Laid;
    const Laid &top = m_layout.laid(m_top.paragraph);
    const QTextLine topLine = top.layout.lineAt(int(m_top.line));
    const qsizetype first = top.paragraph.start + (topLine.isValid() ? topLine.textStart() : 0);
    // Every line that starts above the bottom edge shows, if only in part.
    const qsizetype lines
            = std::max(1, (m_viewport.height() - margin + lineHeight - 1) / lineHeight);
    const Line bottom = m_layout.moved(m_top, lines - 1);
    const Laid &at = m_layout.laid(bottom.paragraph);
    const QTextLine line = at.layout.lineAt(int(bottom.line));
    const qsizetype last
            = at.paragraph.start
              + (line.isValid() ? line.textStart() + line.textLength() : at.paragraph.length);
    m_shown = { first, std::max(first, last) };
    m_shownKey = { m_text.length(),           m_text.edits(), m_top, m_viewport.size(), lineHeight,
                   m_layout.preedit().size(), m_layout.font() };
    return m_shown;
}

int TextView::barValue(Line line)
{
    if (line == Line {})
        return 0;
    if (line == m_endTop)
        return m_barMaximum;
    // Only the ends sit at the ends of the bar.
    const int value = int(std::lround(m_layout.rowOf(line) / m_rowsPerStep));
    return std::clamp(value, 1, std::max(1, m_barMaximum - 1));
}

void TextView::syncScrollBar()
{
    const double rows = m_endRows;
    m_rowsPerStep = std::max(1.0, rows / (double(std::numeric_limits<int>::max()) / 2));
    m_barMaximum = m_endTop == Line {} ? 0 : std::max(1, int(std::lround(rows / m_rowsPerStep)));
    m_syncingBar = true;
    m_bar.setRange(0, m_barMaximum);
    m_bar.setPageStep(int(std::max(1.0, double(pageLines()) / m_rowsPerStep)));
    m_bar.setSingleStep(1);
    // A drag keeps the thumb under the mouse.
    if (!m_bar.isSliderDown())
        m_bar.setValue(barValue(m_top));
    m_syncingBar = false;
}

void TextView::scrollBarAction(int action)
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
    m_bar.setSliderPosition(barValue(m_top));
    m_syncingBar = false;
}

void TextView::scrollBarMoved(int value)
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
