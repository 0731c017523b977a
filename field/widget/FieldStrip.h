#pragma once

#include <QAction>
#include <QList>
#include <QWidget>

class QBoxLayout;
class QVBoxLayout;
class QKeyEvent;
class QLineEdit;
class StatusLabel;
class TextField;

// A row inside a field along its bottom edge, opened by an item of the
// field's context menu or, for the find bar, by Ctrl+F. Escape closes it and
// gives the focus back to the field; Enter in it does what its main button
// does.
//
// Invariants: hidden means closed, and then it is out of the Tab order (Qt
// skips hidden widgets) and whatever it does is stopped; the status label
// and the first control's accessible description always say the same.
class FieldStrip : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FieldStrip)

public:
    // A child of `field`, hidden; the menu item `menuText` opens it, or none
    // when that is empty. The status label is `name` + "Status" unless named.
    FieldStrip(TextField *field, const QString &menuText, const char *name,
               const char *statusName = nullptr);

    // Shows the strip with the focus in its first control.
    virtual void open();
    // Stops what it does, hides it and gives the focus back to the field.
    void dismiss();
    QString status() const;

protected:
    // The strip's controls, in Tab order, laid out from the left, each after
    // its caption when it has one.
    void addControl(QWidget *control, const QString &caption = {}, int stretch = 0);
    // The controls added next go on a row of their own, below; the status
    // stays at the end of the last row.
    void startRow();
    // A field for a number of at most `digits` digits, and nothing else.
    QLineEdit *digitsField(const QString &name, const QString &text, int digits);
    void setStatus(const QString &status);
    // The status takes the width of its text rather than an equal share, and
    // the controls with a stretch the rest (a short status beside a long field).
    void fitStatusToText();
    // Called before the strip hides.
    virtual void stop() = 0;
    // Enter: what the main button does.
    virtual void activate() = 0;

    void keyPressEvent(QKeyEvent *event) override;

    TextField *field() const { return m_field; }

private:
    TextField *m_field;
    QAction m_open;
    QVBoxLayout *m_rows;
    QBoxLayout *m_row;
    StatusLabel *m_status;
    QList<QWidget *> m_controls;
    int m_placed = 0; // items of m_row before the status
};
