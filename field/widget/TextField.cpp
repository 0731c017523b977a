#include "field/widget/TextField.h"

#include "field/widget/FindBar.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

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
    connect(&m_control, &TextControl::textChanged, this, &TextField::textChanged);
    connect(&m_control, &TextControl::saveAsRequested, this, &TextField::saveAsRequested);
    m_layout.setFont(font());
}

TextField::~TextField()
{
    // The find bar reads the text and the viewport: it goes before them.
    delete m_findBar;
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
    textChanged(before, 0, piece.size());
    m_control.textAppended();
    m_view.revealLater(m_text.length());
    m_reader.arrived(before, m_text.length());
    m_view.refreshLater();
    return true;
}

void TextField::clearLog()
{
    const qsizetype cleared = m_text.length();
    m_control.aboutToClear();
    m_text.clear();
    m_full = false;
    m_reader.cleared();
    m_view.revealLater(-1);
    textChanged(0, cleared, 0);
    m_control.cleared();
}

void TextField::textChanged(qsizetype from, qsizetype removed, qsizetype inserted)
{
    m_layout.textChanged(from, removed, inserted);
    m_view.textChanged(from, removed, inserted);
}

bool TextField::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::InputMethod:
    case QEvent::InputMethodQuery:
        if (m_control.processEvent(event))
            return true;
        break;
    case QEvent::FocusIn:
    case QEvent::FocusOut: {
        const bool handled = QAbstractScrollArea::event(event);
        m_control.processEvent(event);
        return handled;
    }
    default:
        break;
    }
    return QAbstractScrollArea::event(event);
}

bool TextField::viewportEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
        // As with any widget, a disabled field takes no mouse input.
        if (!isEnabled())
            break;
        if (event->type() == QEvent::Wheel)
            m_view.wheel(static_cast<QWheelEvent *>(event));
        else
            m_control.processEvent(event);
        return true;
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::DragLeave:
    case QEvent::Drop:
        m_control.processEvent(event);
        return true;
    default:
        break;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void TextField::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Find) && !m_findBar)
        m_findBar = new FindBar(this);
    if (!m_findBar || !m_findBar->takeFieldKey(event))
        m_control.processEvent(event);
}

void TextField::contextMenuEvent(QContextMenuEvent *event)
{
    m_control.processEvent(event);
}

void TextField::paintEvent(QPaintEvent *event)
{
    m_view.settle();
    QPainter painter(viewport());
    const QPalette &colors = palette();
    painter.fillRect(event->rect(), colors.brush(QPalette::Base));
    painter.setPen(colors.color(QPalette::Text));

    const qsizetype from = m_control.selectionStart();
    const qsizetype to = m_control.selectionEnd();
    const qsizetype caret = m_control.cursor();
    const bool drawCaret = hasFocus() && m_control.caretShown();
    QTextCharFormat selected;
    selected.setBackground(colors.brush(QPalette::Highlight));
    selected.setForeground(colors.brush(QPalette::HighlightedText));
    const qreal breakWidth = QFontMetricsF(font()).horizontalAdvance(u' ');
    const int lineHeight = m_layout.lineHeight();
    const FindBar::Highlights found
            = m_findBar ? m_findBar->highlights(m_view.shownRange()) : FindBar::Highlights {};

    const TextLayout::Line top = m_view.top();
    qreal y = margin - qreal(top.line * lineHeight);
    for (qsizetype paragraph = top.paragraph;
         paragraph < m_text.paragraphCount() && y < viewport()->height(); ++paragraph) {
        const TextLayout::Laid &at = m_layout.laid(paragraph);
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
        const qsizetype shownEnd = TextLayout::shownEnd(at);
        const bool showsCaret
                = caret >= start && (caret < shownEnd || (at.nextStart < 0 && caret == shownEnd));
        if (drawCaret && showsCaret) {
            const auto column = int(caret - start);
            at.layout.drawCursor(&painter, origin, column + int(m_layout.preedit().size()), 1);
        }
        y += qreal(lines) * lineHeight;
    }
    painter.setClipRect(event->rect());
    drawCornerMark(painter);
    // Where a drop would put the text.
    if (m_control.dropCaret() >= 0)
        painter.fillRect(m_view.caretRect(m_control.dropCaret()).adjusted(0, 0, 1, 0),
                         colors.color(QPalette::Text));
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
    m_view.resized();
}

void TextField::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_layout.setFont(font());
        m_view.fontChanged();
    } else if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange) {
        viewport()->update();
    }
}

void TextField::scrollContentsBy(int, int)
{
    // The bar's own moves are followed through its valueChanged signal.
}
