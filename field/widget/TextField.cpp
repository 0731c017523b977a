#include "field/widget/TextField.h"

#include "field/layout/TextLayout.h"
#include "field/model/TextDocument.h"
#include "field/widget/FindBar.h"
#include "field/widget/ReaderWindow.h"
#include "field/widget/TextControl.h"
#include "field/widget/TextView.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QInputMethod>
#include <QInputMethodQueryEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

static_assert(TextField::repaintIntervalMs == TextView::repaintIntervalMs);
static_assert(TextField::announceIntervalMs == ReaderWindow::announceIntervalMs);
static_assert(TextField::margin == TextView::margin);
static_assert(TextField::readerWindow == ReaderWindow::size);

void installTextFieldAccessibility();

// Built in this order, and so gone in the reverse: the document outlives
// every part that reads it.
struct TextField::Parts
{
    Parts(const TextStore::Limits &limits, TextField &field)
        : document(limits)
        , layout(document.text())
        , view(document.text(), layout, field)
        , reader(field, document.text())
        , control(document, layout, view)
    { }

    TextDocument document;
    TextLayout layout;
    TextView view;
    ReaderWindow reader;
    TextControl control;
};

TextField::TextField(QWidget *parent)
    : TextField(TextStore::Limits {}, parent)
{ }

TextField::TextField(const TextStoreLimits &limits, QWidget *parent)
    : QAbstractScrollArea(parent)
    , d(std::make_unique<Parts>(limits, *this))
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

    // The one announcement of every change, heard in this order: the layout
    // first, since the others ask it; the control last, which places the caret.
    Parts &p = *d;
    connect(&p.document, &TextDocument::changed, this, [&p](const TextChange &change) {
        p.layout.textChanged(change.from, change.removed, change.inserted);
    });
    connect(&p.document, &TextDocument::changed, this,
            [&p](const TextChange &change) { p.view.textChanged(change); });
    connect(&p.document, &TextDocument::changed, this,
            [&p](const TextChange &change) { p.reader.textChanged(change); });
    connect(&p.document, &TextDocument::changed, &p.control, &TextControl::textChanged);

    connect(&p.control, &TextControl::updateRequest, this, [this](const QRect &rect) {
        if (rect.isNull())
            viewport()->update();
        else
            viewport()->update(rect);
    });
    // What the control asks of the screen, the view does; where it puts the
    // caret, the input method and screen readers hear.
    connect(&p.control, &TextControl::visibilityRequest, this,
            [&p](qsizetype position) { p.view.ensureVisible(position); });
    connect(&p.control, &TextControl::scrollRequest, this,
            [&p](qsizetype lines) { p.view.scrollByLines(lines); });
    connect(&p.control, &TextControl::cursorPositionChanged, this,
            [this, &p](qsizetype cursor, qsizetype anchor) {
                if (hasFocus())
                    QGuiApplication::inputMethod()->update(Qt::ImQueryInput);
                p.reader.caretMoved(cursor, anchor);
            });
    p.layout.setFont(font());
}

TextField::~TextField()
{
    // The find bar reads the text and the viewport: it goes before them.
    delete m_findBar;
}

const TextDocument &TextField::document() const
{
    return d->document;
}

const TextStore &TextField::store() const
{
    return d->document.text();
}

qsizetype TextField::length() const
{
    return store().length();
}

QString TextField::textBetween(qsizetype from, qsizetype to) const
{
    return store().text(from, to);
}

QString TextField::text() const
{
    return store().text();
}

bool TextField::append(QStringView piece)
{
    return d->document.append(piece);
}

bool TextField::append(QLatin1StringView piece)
{
    return d->document.append(piece);
}

void TextField::clear()
{
    d->document.clear();
}

qsizetype TextField::cursorPosition() const
{
    return d->control.cursor();
}

qsizetype TextField::anchorPosition() const
{
    return d->control.anchor();
}

qsizetype TextField::selectionStart() const
{
    return d->control.selectionStart();
}

qsizetype TextField::selectionEnd() const
{
    return d->control.selectionEnd();
}

void TextField::setSelection(qsizetype anchor, qsizetype cursor)
{
    d->control.setSelection(anchor, cursor);
}

void TextField::ensureCursorVisible()
{
    d->view.revealSoon(d->control.cursor());
}

bool TextField::replaceText(qsizetype from, qsizetype to, QStringView text, EditHistory::Run run)
{
    return d->control.replace(from, to, text, run);
}

bool TextField::canUndo() const
{
    return d->control.canUndo();
}

bool TextField::canRedo() const
{
    return d->control.canRedo();
}

QRect TextField::cursorRect()
{
    return d->view.caretRect(d->control.cursor());
}

QRect TextField::characterRect(qsizetype position)
{
    return d->view.characterRect(position);
}

qsizetype TextField::positionAt(QPoint viewportPoint)
{
    return d->view.positionAt(viewportPoint);
}

std::pair<qsizetype, qsizetype> TextField::shownRange()
{
    return d->view.shownRange();
}

qsizetype TextField::readerStart() const
{
    return d->reader.start();
}

qsizetype TextField::readerLength() const
{
    return d->reader.length();
}

bool TextField::isReadOnly() const
{
    return d->control.isReadOnly();
}

void TextField::setReadOnly(bool readOnly)
{
    d->control.setReadOnly(readOnly);
    // No input method composes in a read-only field.
    setAttribute(Qt::WA_InputMethodEnabled, !readOnly);
    viewport()->setAttribute(Qt::WA_InputMethodEnabled, !readOnly);
    if (!hasFocus())
        return;
    if (readOnly)
        QGuiApplication::inputMethod()->reset();
    QGuiApplication::inputMethod()->update(Qt::ImEnabled);
}

void TextField::addMenuAction(QAction *action)
{
    d->control.addMenuAction(action);
}

void TextField::addStrip(QWidget *strip)
{
    m_strips.append(strip);
    // Sent on show() and hide() whether or not the field is on screen.
    strip->installEventFilter(this);
    placeStrips();
}

bool TextField::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::ShowToParent || type == QEvent::HideToParent
         || type == QEvent::LayoutRequest)
        && m_strips.contains(watched))
        placeStrips();
    return QAbstractScrollArea::eventFilter(watched, event);
}

void TextField::placeStrips()
{
    int below = 0;
    for (const QWidget *strip : std::as_const(m_strips))
        if (strip && !strip->isHidden())
            below += strip->sizeHint().height();
    setViewportMargins(0, 0, 0, below);
    const QRect view = viewport()->geometry();
    int top = view.bottom() + 1 + below;
    for (QWidget *strip : std::as_const(m_strips)) {
        if (!strip || strip->isHidden())
            continue;
        const int height = strip->sizeHint().height();
        top -= height;
        strip->setGeometry(view.left(), top, view.width(), height);
    }
}

void TextField::setOverlay(Overlay overlay)
{
    m_overlay = std::move(overlay);
    viewport()->update();
}

void TextField::selectAll()
{
    d->control.selectAll();
}

void TextField::copy()
{
    d->control.copy();
}

void TextField::cut()
{
    d->control.cut();
}

void TextField::paste()
{
    d->control.paste();
}

void TextField::undo()
{
    d->control.undo();
}

void TextField::redo()
{
    d->control.redo();
}

void TextField::answerInputMethod(QInputMethodQueryEvent *query)
{
    // Answered from the event rather than from inputMethodQuery(), which Qt
    // declares const: the caret's rectangle may need the view settled.
    const auto asked = uint(query->queries().toInt());
    for (uint bit = 1; bit != 0; bit <<= 1) {
        if (!(asked & bit))
            continue;
        const auto which = Qt::InputMethodQuery(bit);
        QVariant answer = d->control.inputMethodQuery(which);
        if (which == Qt::ImCursorRectangle)
            answer = answer.toRectF().translated(viewport()->pos());
        else if (!answer.isValid())
            answer = QAbstractScrollArea::inputMethodQuery(which);
        query->setValue(which, answer);
    }
    query->accept();
}

bool TextField::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::InputMethodQuery:
        answerInputMethod(static_cast<QInputMethodQueryEvent *>(event));
        return true;
    case QEvent::ShortcutOverride:
    case QEvent::InputMethod:
        if (d->control.processEvent(event, viewport()))
            return true;
        break;
    case QEvent::FocusIn:
    case QEvent::FocusOut: {
        const bool handled = QAbstractScrollArea::event(event);
        d->control.processEvent(event, viewport());
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
            d->view.wheel(static_cast<QWheelEvent *>(event));
        else
            d->control.processEvent(event, viewport());
        return true;
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::DragLeave:
    case QEvent::Drop:
        d->control.processEvent(event, viewport());
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
        d->control.processEvent(event, viewport());
}

void TextField::contextMenuEvent(QContextMenuEvent *event)
{
    d->control.processEvent(event, viewport());
}

void TextField::paintEvent(QPaintEvent *event)
{
    // A scroll settled here is drawn by this paint only if it covers the view.
    if (d->view.settleToPaint() && event->rect() != viewport()->rect())
        viewport()->update();
    QPainter painter(viewport());
    const QPalette &colors = palette();
    painter.fillRect(event->rect(), colors.brush(QPalette::Base));
    painter.setPen(colors.color(QPalette::Text));

    const qsizetype from = d->control.selectionStart();
    const qsizetype to = d->control.selectionEnd();
    const qsizetype caret = d->control.cursor();
    const bool drawCaret = hasFocus() && d->control.caretShown();
    QTextCharFormat selected;
    selected.setBackground(colors.brush(QPalette::Highlight));
    selected.setForeground(colors.brush(QPalette::HighlightedText));
    const qreal breakWidth = QFontMetricsF(font()).horizontalAdvance(u' ');
    const int lineHeight = d->layout.lineHeight();
    const FindBar::Highlights found
            = m_findBar ? m_findBar->highlights(d->view.shownRange()) : FindBar::Highlights {};

    const TextLayout::Line top = d->view.top();
    qreal y = margin - qreal(top.line * lineHeight);
    for (qsizetype paragraph = top.paragraph;
         paragraph < store().paragraphCount() && y < viewport()->height(); ++paragraph) {
        const TextLayout::Laid &at = d->layout.laid(paragraph);
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
            at.layout.drawCursor(&painter, origin, column + int(d->layout.preedit().size()), 1);
        }
        y += qreal(lines) * lineHeight;
    }
    painter.setClipRect(event->rect());
    if (m_overlay)
        m_overlay(painter, viewport()->rect());
    // Where a drop would put the text.
    if (d->control.dropCaret() >= 0)
        painter.fillRect(d->view.caretRect(d->control.dropCaret()).adjusted(0, 0, 1, 0),
                         colors.color(QPalette::Text));
}

void TextField::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    placeStrips();
    d->view.resized();
}

void TextField::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        d->layout.setFont(font());
        d->view.fontChanged();
    } else if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange) {
        viewport()->update();
    }
}

void TextField::scrollContentsBy(int, int)
{
    // The bar's own moves are followed through its valueChanged signal.
}
