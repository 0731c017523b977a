#pragma once

#include <QColor>
#include <QStringList>

#include <cstdint>

class QLineEdit;
class QString;
class TextField;
class QWidget;

// Colours are kept as 0x00BBGGRR values, the form the window's layout is
// written in; toColor turns one into a QColor.
QColor toColor(uint32_t bgr);

constexpr uint32_t editableLook = 0x00C0FFFF; // light yellow
constexpr uint32_t lockedLook = 0x00FFC0C0;   // light blue-violet
constexpr uint32_t fieldText = 0x00FF0000;    // blue
constexpr uint32_t decorativeText = 0x00FF8080;

void setBackColor(QWidget *field, uint32_t bgr);
void setForeColor(QWidget *widget, uint32_t bgr);
QColor backColor(const QWidget *field);

// Locked: the user can select and copy but not change the text.
void setLocked(QWidget *field, bool locked);

// Shows text in a one-line field from its start: QLineEdit puts the caret at
// the end, and a text too long for the field would show its end instead. An
// unchanged text is left as it is, with the user's selection.
void showFromStart(QLineEdit *field, const QString &text);

// Short words drawn in a multi-line field's top-right corner, over the text,
// the first in the corner and the others to its left: they show which modes
// are on (the send box's "HEX", "CR LF"). Changes no text.
void setCornerMarks(TextField *field, const QStringList &marks);
QStringList cornerMarks(const TextField *field);
