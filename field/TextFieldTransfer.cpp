// Text leaving and entering the field other than by keys: the clipboard's
// lazily read copies, the primary selection of X11, drag and drop, and the
// scrolling that goes on while the mouse is held past an edge.
#include "field/TextField.h"
#include "field/TextFieldMimeData.h"

#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QDropEvent>
#include <QPainter>

#include <algorithm>

namespace {

// While something is dragged over the field, this close to an edge scrolls.
constexpr int dropScrollMargin = 20;

} // namespace

TextFieldMimeData *TextField::lend(qsizetype from, qsizetype to)
{
    std::erase_if(m_lent, [](const QPointer<TextFieldMimeData> &lent) {
        return lent.isNull() || !lent->isLazy();
    });
    auto *mime = new TextFieldMimeData(m_text, from, to);
    m_lent.emplace_back(mime);
    return mime;
}

void TextField::keepLent(qsizetype from, qsizetype to, qsizetype inserted)
{
    for (const QPointer<TextFieldMimeData> &lent : m_lent) {
        if (lent.isNull() || !lent->isLazy() || from >= lent->to())
            continue;
        // An edit before the range only moves it; one that reaches into it
        // would change it, so its text is taken out now.
        if (to <= lent->from())
            lent->shift(inserted - (to - from));
        else
            lent->keep();
    }
}

void TextField::keepAllLent()
{
    for (const QPointer<TextFieldMimeData> &lent : m_lent) {
        if (!lent.isNull())
            lent->keep();
    }
    m_lent.clear();
}

void TextField::offerSelection()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection())
        clipboard->setMimeData(lend(selectionStart(), selectionEnd()), QClipboard::Selection);
}

void TextField::pasteSelectionAt(QPoint point)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (m_readOnly || !clipboard->supportsSelection())
        return;
    const QMimeData *mime = clipboard->mimeData(QClipboard::Selection);
    if (!mime || !mime->hasText())
        return;
    settle();
    const qsizetype at = snapped(positionAt(point));
    if (!replaceText(at, at, mime->text()))
        QApplication::beep();
}

void TextField::startDrag()
{
    if (!hasSelection())
        return;
    auto *drag = new QDrag(this);
    drag->setMimeData(lend(selectionStart(), selectionEnd()));
    // Within this field the text moves (the drop does it as one edit); other
    // fields and programs get a copy, so nothing is taken away here after.
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::MoveAction);
}

void TextField::moveText(qsizetype from, qsizetype to, qsizetype at)
{
    // One replacement of the span from the one place to the other, so that
    // the move is a single edit.
    const QString moved = m_text.text(from, to);
    if (at < from) {
        if (replaceText(at, to, moved + m_text.text(at, from)))
            setSelection(at + moved.size(), at + moved.size());
    } else {
        replaceText(from, at, m_text.text(to, at) + moved);
    }
}

void TextField::showDropCaret(qsizetype position)
{
    if (position == m_dropCaret)
        return;
    m_dropCaret = position;
    viewport()->update();
}

void TextField::dragEnterEvent(QDragEnterEvent *event)
{
    if (m_readOnly || !event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    showDropCaret(snapped(positionAt(event->position().toPoint())));
}

void TextField::dragMoveEvent(QDragMoveEvent *event)
{
    if (m_readOnly || !event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    const QPoint point = event->position().toPoint();
    const qsizetype at = snapped(positionAt(point));
    // Not into the text that is being dragged.
    if (event->source() == this && at > selectionStart() && at < selectionEnd()) {
        event->ignore();
        showDropCaret(-1);
    } else {
        event->acceptProposedAction();
        showDropCaret(at);
    }
    const QRect inner = viewport()->rect().adjusted(0, dropScrollMargin, 0, -dropScrollMargin);
    if (inner.contains(point))
        m_autoScroll.stop();
    else
        startAutoScroll(point, true);
}

void TextField::dragLeaveEvent(QDragLeaveEvent *)
{
    m_autoScroll.stop();
    showDropCaret(-1);
}

void TextField::dropEvent(QDropEvent *event)
{
    m_autoScroll.stop();
    showDropCaret(-1);
    const QMimeData *mime = event->mimeData();
    if (m_readOnly || !mime->hasText()) {
        event->ignore();
        return;
    }
    settle();
    const qsizetype at = snapped(positionAt(event->position().toPoint()));
    const qsizetype from = selectionStart();
    const qsizetype to = selectionEnd();
    if (event->source() == this && hasSelection() && at >= from && at <= to) {
        event->ignore();
        return;
    }
    if (event->source() == this && event->dropAction() == Qt::MoveAction) {
        // Our own drag is over and its text is taken from the store here.
        for (const QPointer<TextFieldMimeData> &lent : m_lent) {
            if (lent.data() == mime)
                lent->forget();
        }
        moveText(from, to, at);
        event->acceptProposedAction();
        return;
    }
    const QString text = event->source() == this ? m_text.text(from, to) : mime->text();
    if (!replaceText(at, at, text)) {
        QApplication::beep();
        event->ignore();
        return;
    }
    if (event->source() == this)
        event->setDropAction(Qt::CopyAction);
    event->accept();
}

bool TextField::viewportEvent(QEvent *event)
{
    const bool handled = QAbstractScrollArea::viewportEvent(event);
    if (event->type() == QEvent::Paint && m_dropCaret >= 0) {
        QPainter painter(viewport());
        painter.fillRect(caretRectAt(m_dropCaret).adjusted(0, 0, 1, 0),
                         palette().color(QPalette::Text));
    }
    return handled;
}

QPoint TextField::insideView(QPoint point) const
{
    const int lineHeight = m_layout.lineHeight();
    const int firstY = margin + lineHeight / 2;
    const int lastY = margin + int(pageLines() - 1) * lineHeight + lineHeight / 2;
    return { std::clamp(point.x(), 0, std::max(0, viewport()->width() - 1)),
             std::clamp(point.y(), firstY, std::max(firstY, lastY)) };
}

void TextField::startAutoScroll(QPoint point, bool dropping)
{
    m_autoScrollPoint = point;
    m_autoScrollDropping = dropping;
    if (!m_autoScroll.isActive())
        m_autoScroll.start(100, this);
}

void TextField::autoScrollStep()
{
    // A line a step, the steps quicker the further the mouse is past the edge,
    // at the pace of Qt's own text fields.
    QRect visible = viewport()->rect();
    if (m_autoScrollDropping)
        visible.adjust(0, dropScrollMargin, 0, -dropScrollMargin);
    const QPoint point = m_autoScrollPoint;
    const int beyond
            = std::max(point.y() - visible.top(), visible.bottom() - point.y()) - visible.height();
    if (beyond < 0) {
        m_autoScroll.stop();
        return;
    }
    const int distance = std::max(beyond, 7);
    m_autoScroll.start(4900 / (distance * distance), this);
    scrollByLines(point.y() < visible.center().y() ? -1 : 1);
    if (m_autoScrollDropping)
        showDropCaret(snapped(positionAt(insideView(point))));
    else
        moveCaret(snapped(positionAt(insideView(point))), true);
}
