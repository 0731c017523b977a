#include "ui/fieldLooks.h"

#include <QLineEdit>
#include <QPalette>
#include <QWidget>

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
