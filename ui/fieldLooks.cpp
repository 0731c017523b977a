#include "ui/fieldLooks.h"

#include "field/widget/TextField.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QVariant>
#include <QWidget>

#include <algorithm>

QColor toColor(uint32_t bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

void setBackColor(QWidget *field, uint32_t bgr)
{
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, toColor(bgr));
    field->setPalette(palette);
}

void setForeColor(QWidget *widget, uint32_t bgr)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Text, toColor(bgr));
    palette.setColor(QPalette::WindowText, toColor(bgr));
    widget->setPalette(palette);
}

QColor backColor(const QWidget *field)
{
    return field->palette().color(QPalette::Base);
}

void setLocked(QWidget *field, bool locked)
{
    if (auto *line = qobject_cast<QLineEdit *>(field))
        line->setReadOnly(locked);
}

void showFromStart(QLineEdit *field, const QString &text)
{
    // The information fields are refreshed every second; setting the same text
    // again would drop what the user has selected to copy.
    if (field->text() == text)
        return;
    field->setText(text);
    field->setCursorPosition(0);
}

namespace {

// Where a field keeps its words, so they can be asked back.
constexpr const char *cornerMarksProperty = "tarvikCornerMarks";

void drawCornerMarks(const TextField *field, const QStringList &marks, QPainter &painter,
                     const QRect &viewport)
{
    // Small and in the selection's colours, so they read as the field's state
    // rather than as text; they stay put while the text scrolls under them.
    QFont small = field->font();
    small.setBold(true);
    if (small.pointSizeF() > 0)
        small.setPointSizeF(small.pointSizeF() * 0.75);
    else
        small.setPixelSize(std::max(6, small.pixelSize() * 3 / 4));
    const QFontMetrics metrics(small);
    constexpr int margin = TextField::margin;
    painter.setFont(small);
    int right = viewport.width() - 1 - margin / 2;
    for (const QString &mark : marks) {
        QRect box(0, 0, metrics.horizontalAdvance(mark) + 6, metrics.height());
        box.moveTopRight(QPoint(right, margin / 2));
        painter.fillRect(box, field->palette().brush(QPalette::Highlight));
        painter.setPen(field->palette().color(QPalette::HighlightedText));
        painter.drawText(box, Qt::AlignCenter, mark);
        right = box.left() - margin / 2;
    }
}

} // namespace

void setCornerMarks(TextField *field, const QStringList &marks)
{
    if (marks == cornerMarks(field))
        return;
    field->setProperty(cornerMarksProperty, marks);
    if (marks.isEmpty()) {
        field->setOverlay({});
        return;
    }
    field->setOverlay([field, marks](QPainter &painter, const QRect &viewport) {
        drawCornerMarks(field, marks, painter, viewport);
    });
}

QStringList cornerMarks(const TextField *field)
{
    return field->property(cornerMarksProperty).toStringList();
}
