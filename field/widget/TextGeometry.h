#pragma once

#include <QPoint>
#include <QRect>
#include <QTextLine>
#include <QtGlobal>

// What a field's control asks of the screen it does not hold, in viewport
// coordinates: where a position or a point is, how many lines a page holds,
// and the viewport itself. The view answers, brought up to date first, so
// the questions about text on screen are not const. The control asks for
// everything it wants done to the screen through its signals instead.
class TextGeometry
{
public:
    // The viewport, in its own coordinates.
    virtual QRect viewportRect() const = 0;
    // Lines that fit whole in the viewport, at least one: what Page Up and
    // Page Down move by.
    virtual qsizetype pageLines() const = 0;
    // Where a caret at the position stands; off the viewport when the
    // position is off screen.
    virtual QRect caretRect(qsizetype position) = 0;
    virtual qsizetype positionAt(QPoint point,
                                 QTextLine::CursorPosition at = QTextLine::CursorBetweenCharacters)
            = 0;
    // The point brought onto the first or last whole line shown.
    virtual QPoint onWholeLines(QPoint point) const = 0;

protected:
    TextGeometry() = default;
    ~TextGeometry() = default;
    Q_DISABLE_COPY_MOVE(TextGeometry)
};
