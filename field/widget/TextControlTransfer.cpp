// What the user does with the mouse, and text leaving and entering the field
// other than by keys: the clipboard's lazily read copies, the primary
// selection of X11, drag and drop, and the scrolling that goes on while the
// mouse is held past an edge.
#include "field/transfer/CopyServer.h"
#include "field/transfer/TextFieldMimeData.h"
#include "field/widget/TextControl.h"
#include "field/widget/TextGeometry.h"

#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QStyleHints>
#include <QWidget>

#include <algorithm>

namespace {

// While something is dragged over the field, this close to an edge scrolls.
constexpr int dropScrollMargin = 20;

} // namespace

void TextControl::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::MiddleButton) {
        event->accept(); // the release pastes
        return;
    }
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    m_autoScroll.stop();
    const QPoint point = event->position().toPoint();
    const qsizetype at = snapped(m_text, m_geometry.positionAt(point));
    // A third press soon after a double click, where it was, selects the line.
    const bool third
            = m_doubleClicked
              && event->timestamp() - m_doubleClickTime
                         < ulong(QGuiApplication::styleHints()->mouseDoubleClickInterval())
              && (point - m_doubleClickPoint).manhattanLength() < QApplication::startDragDistance();
    m_doubleClicked = false;
    if (third) {
        const auto [start, end] = lineAround(m_text, at);
        moveCaret(start, end);
        m_dragging = false;
        offerSelection();
        return;
    }
    // A press on selected text may start dragging it; a click there drops the selection.
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const qsizetype on = m_geometry.positionAt(point, QTextLine::CursorOnCharacter);
    if (!extend && on >= selectionStart() && on < selectionEnd()) {
        m_mightDrag = true;
        m_pressPoint = point;
        return;
    }
    moveCaret(extend ? anchor() : at, at);
    m_desiredX = -1;
    m_dragging = true;
}

void TextControl::mouseMoveEvent(QMouseEvent *event, QWidget *viewport)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPoint point = event->position().toPoint();
    if (m_mightDrag) {
        if ((point - m_pressPoint).manhattanLength() >= QApplication::startDragDistance()) {
            m_mightDrag = false;
            startDrag(viewport);
        }
        return;
    }
    if (!m_dragging)
        return;
    // Held past an edge, the view goes on scrolling on a timer.
    const bool inside = viewport->rect().contains(point);
    if (inside)
        m_autoScroll.stop();
    else
        startAutoScroll(point, false);
    moveCaret(anchor(), snapped(m_text, m_geometry.positionAt(
                                                inside ? point : m_geometry.onWholeLines(point))));
}

void TextControl::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::MiddleButton) {
        pasteSelectionAt(event->position().toPoint());
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_autoScroll.stop();
    if (m_mightDrag) {
        m_mightDrag = false;
        const qsizetype at = snapped(m_text, m_geometry.positionAt(event->position().toPoint()));
        moveCaret(at, at);
        m_desiredX = -1;
    } else if (m_dragging) {
        offerSelection();
    }
    m_dragging = false;
}

void TextControl::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_mightDrag = false;
    const QPoint point = event->position().toPoint();
    const auto [start, end]
            = wordAround(m_text, m_geometry.positionAt(point, QTextLine::CursorOnCharacter));
    moveCaret(start, end);
    m_dragging = false;
    m_doubleClicked = true;
    m_doubleClickTime = event->timestamp();
    m_doubleClickPoint = point;
    offerSelection();
}

TextFieldMimeData *TextControl::lend(qsizetype from, qsizetype to)
{
    auto *lent = new TextFieldMimeData(m_text, from, to);
    if (lent->isLarge())
        serveLargeCopies();
    return lent;
}

void TextControl::offerSelection()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection())
        clipboard->setMimeData(lend(selectionStart(), selectionEnd()), QClipboard::Selection);
}

void TextControl::pasteSelectionAt(QPoint point)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (m_readOnly || !clipboard->supportsSelection())
        return;
    const QMimeData *mime = clipboard->mimeData(QClipboard::Selection);
    if (!mime || !mime->hasText())
        return;
    const qsizetype at = snapped(m_text, m_geometry.positionAt(point));
    if (!replace(at, at, mime->text()))
        QApplication::beep();
}

void TextControl::startDrag(QWidget *viewport)
{
    if (!hasSelection())
        return;
    auto *drag = new QDrag(viewport);
    drag->setMimeData(lend(selectionStart(), selectionEnd()));
    // Within this field the text moves (the drop does it as one edit); other
    // fields and programs get a copy, so nothing is taken away here after.
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::MoveAction);
}

void TextControl::moveText(qsizetype from, qsizetype to, qsizetype at)
{
    // One replacement of the span from the one place to the other, so that
    // the move is a single edit.
    const QString moved = m_text.text(from, to);
    if (at < from) {
        if (replace(at, to, moved + m_text.text(at, from)))
            setSelection(at + moved.size(), at + moved.size());
    } else {
        replace(from, at, m_text.text(to, at) + moved);
    }
}

void TextControl::showDropCaret(qsizetype position)
{
    if (position == m_dropCaret)
        return;
    m_dropCaret = position;
    Q_EMIT updateRequest({});
}

void TextControl::dragEnterEvent(QDragEnterEvent *event)
{
    if (m_readOnly || !event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    showDropCaret(snapped(m_text, m_geometry.positionAt(event->position().toPoint())));
}

void TextControl::dragMoveEvent(QDragMoveEvent *event, const QWidget *viewport)
{
    if (m_readOnly || !event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    const QPoint point = event->position().toPoint();
    const qsizetype at = snapped(m_text, m_geometry.positionAt(point));
    // Not into the text that is being dragged.
    if (event->source() == viewport && at > selectionStart() && at < selectionEnd()) {
        event->ignore();
        showDropCaret(-1);
    } else {
        event->acceptProposedAction();
        showDropCaret(at);
    }
    const QRect inner = viewport->rect().adjusted(0, dropScrollMargin, 0, -dropScrollMargin);
    if (inner.contains(point))
        m_autoScroll.stop();
    else
        startAutoScroll(point, true);
}

void TextControl::dropEvent(QDropEvent *event, const QWidget *viewport)
{
    m_autoScroll.stop();
    showDropCaret(-1);
    const QMimeData *mime = event->mimeData();
    if (m_readOnly || !mime->hasText()) {
        event->ignore();
        return;
    }
    const qsizetype at = snapped(m_text, m_geometry.positionAt(event->position().toPoint()));
    const qsizetype from = selectionStart();
    const qsizetype to = selectionEnd();
    const bool ours = event->source() == viewport;
    if (ours && hasSelection() && at >= from && at <= to) {
        event->ignore();
        return;
    }
    if (ours && event->dropAction() == Qt::MoveAction) {
        moveText(from, to, at);
        event->acceptProposedAction();
        return;
    }
    const QString text = ours ? m_text.text(from, to) : mime->text();
    if (!replace(at, at, text)) {
        QApplication::beep();
        event->ignore();
        return;
    }
    if (ours)
        event->setDropAction(Qt::CopyAction);
    event->accept();
}

void TextControl::startAutoScroll(QPoint point, bool dropping)
{
    m_autoScrollPoint = point;
    m_autoScrollDropping = dropping;
    if (!m_autoScroll.isActive())
        m_autoScroll.start(100, this);
}

void TextControl::autoScrollStep()
{
    // A line a step, the steps quicker the further the mouse is past the edge,
    // at the pace of Qt's own text fields.
    QRect visible = m_geometry.viewportRect();
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
    Q_EMIT scrollRequest(point.y() < visible.center().y() ? -1 : 1);
    const qsizetype at = snapped(m_text, m_geometry.positionAt(m_geometry.onWholeLines(point)));
    if (m_autoScrollDropping)
        showDropCaret(at);
    else
        moveCaret(anchor(), at);
}
