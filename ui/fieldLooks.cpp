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

// Where a field keeps the word, so it can be asked back.
constexpr const char *cornerMarkProperty = "tarvikCornerMark";

void drawCornerMark(const TextField *field, const QString &mark, QPainter &painter,
                    const QRect &viewport)
{
    // Small and in the selection's colours, so it reads as the field's state
    // rather than as text; it stays put while the text scrolls under it.
    QFont small = field->font();
    small.setBold(true);
    if (small.pointSizeF() > 0)
        small.setPointSizeF(small.pointSizeF() * 0.75);
    else
        small.setPixelSize(std::max(6, small.pixelSize() * 3 / 4));
    const QFontMetrics metrics(small);
    constexpr int margin = TextField::margin;
    QRect box(0, 0, metrics.horizontalAdvance(mark) + 6, metrics.height());
    box.moveTopRight(QPoint(viewport.width() - 1 - margin / 2, margin / 2));
    painter.fillRect(box, field->palette().brush(QPalette::Highlight));
    painter.setFont(small);
    painter.setPen(field->palette().color(QPalette::HighlightedText));
    painter.drawText(box, Qt::AlignCenter, mark);
}

} // namespace

void setCornerMark(TextField *field, const QString &mark)
{
    if (mark == cornerMark(field))
        return;
    field->setProperty(cornerMarkProperty, mark);
    if (mark.isEmpty()) {
        field->setOverlay({});
        return;
    }
    field->setOverlay([field, mark](QPainter &painter, const QRect &viewport) {
        drawCornerMark(field, mark, painter, viewport);
    });
}

QString cornerMark(const TextField *field)
{
    return field->property(cornerMarkProperty).toString();
}
