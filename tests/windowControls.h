#pragma once

#include <QAbstractButton>
#include <QByteArray>
#include <QCheckBox>
#include <QLineEdit>
#include <QPoint>
#include <QRadioButton>
#include <QString>
#include <QTest>
#include <QWidget>

#include "scrollBar.h"
#include "ui/StatusBar.h"

// Tests reach the window's controls as users' tools do: by object name, and
// drive them with real mouse and key events rather than through members.

// The control of that name and type; a missing one ends the test run, since
// every test after it would only fail for the same reason.
template<typename Control>
Control *control(const QWidget &window, const char *name)
{
    auto *found = window.findChild<Control *>(QString::fromLatin1(name));
    if (!found)
        qFatal("the window has no %s named %s", Control::staticMetaObject.className(), name);
    return found;
}

// What status panel 1, 2 or 3 (from the left) shows.
inline QString panelText(const QWidget &window, int panel)
{
    return control<StatusBar>(window, "StatusBar")->panelText(panel);
}

// Puts a known text in a panel. No user action writes one: a test does, to
// see whether anything the window did since has replaced it.
inline void setPanelText(const QWidget &window, int panel, const QString &text)
{
    control<StatusBar>(window, "StatusBar")->setPanelText(panel, text);
}

// A left click on the button, or on the indicator of a choice or box: only
// its indicator and caption take a click, and a wide one's middle may be
// past the end of its caption.
inline void press(QAbstractButton *button)
{
    const bool indicator
            = qobject_cast<QRadioButton *>(button) || qobject_cast<QCheckBox *>(button);
    const QPoint at = indicator ? QPoint(qMin(8, button->width() / 2), button->height() / 2)
                                : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, at);
}

// Ticks or unticks a box by clicking it when it is not already as wanted.
inline void setTicked(QAbstractButton *box, bool ticked)
{
    if (box->isChecked() != ticked)
        press(box);
}

// Replaces what a line field holds by typing: select all, then the new text
// (or a Backspace for none). A locked field keeps its text, as for a user.
inline void typeInto(QLineEdit *field, const QString &text)
{
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        QTest::keyClick(field, Qt::Key_Backspace);
    else
        QTest::keyClicks(field, text);
}
