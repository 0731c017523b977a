#include "field/widget/FieldStrip.h"

#include "field/widget/StatusLabel.h"
#include "field/widget/TextField.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

FieldStrip::FieldStrip(TextField *field, const QString &menuText, const char *name,
                       const char *statusName)
    : QWidget(field)
    , m_field(field)
    , m_open(menuText, this)
    , m_rows(new QVBoxLayout(this))
    , m_row(new QHBoxLayout)
    , m_status(new StatusLabel(this))
{
    setObjectName(QString::fromLatin1(name));
    m_status->setObjectName(statusName ? QString::fromLatin1(statusName)
                                       : objectName() + QStringLiteral("Status"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    m_rows->setContentsMargins(TextField::margin, 2, TextField::margin, 2);
    m_rows->setSpacing(2);
    m_rows->addLayout(m_row);
    m_row->addWidget(m_status, 1);
    if (!menuText.isEmpty()) {
        m_open.setObjectName(QStringLiteral("mnu") + objectName().front().toUpper()
                             + objectName().mid(1));
        connect(&m_open, &QAction::triggered, this, &FieldStrip::open);
        field->addMenuAction(&m_open);
    }
    hide();
    field->addStrip(this);
}

void FieldStrip::open()
{
    if (isHidden()) {
        // Right after the field in the Tab order; Qt skips them while hidden.
        const QWidget *previous = m_field;
        for (QWidget *control : std::as_const(m_controls)) {
            QWidget::setTabOrder(const_cast<QWidget *>(previous), control);
            previous = control;
        }
        show();
    }
    if (!m_controls.isEmpty())
        m_controls.first()->setFocus(Qt::ShortcutFocusReason);
}

void FieldStrip::dismiss()
{
    stop();
    hide();
    m_field->setFocus(Qt::OtherFocusReason);
}

QString FieldStrip::status() const
{
    return m_status->text();
}

void FieldStrip::addControl(QWidget *control, const QString &caption, int stretch)
{
    // Before the status, which stays at the right.
    if (!caption.isEmpty()) {
        auto *label = new QLabel(caption, this);
        label->setBuddy(control);
        m_row->insertWidget(m_placed++, label);
    }
    m_row->insertWidget(m_placed++, control, stretch);
    m_controls.append(control);
}

void FieldStrip::startRow()
{
    m_row->removeWidget(m_status);
    m_row = new QHBoxLayout;
    m_rows->addLayout(m_row);
    m_row->addWidget(m_status, 1);
    m_placed = 0;
}

QLineEdit *FieldStrip::digitsField(const QString &name, const QString &text, int digits)
{
    auto *edit = new QLineEdit(text, this);
    edit->setAccessibleName(name);
    edit->setPlaceholderText(name);
    // Typed or pasted, anything but digits is refused.
    edit->setValidator(new QRegularExpressionValidator(
            QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(digits)), edit));
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(u'0') * (digits + 2));
    return edit;
}

void FieldStrip::fitStatusToText()
{
    m_status->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_row->setStretchFactor(m_status, 0);
}

void FieldStrip::setStatus(const QString &status)
{
    if (status == m_status->text())
        return;
    m_status->setText(status);
    m_status->setToolTip(status);
    if (!m_controls.isEmpty())
        m_controls.first()->setAccessibleDescription(status);
}

void FieldStrip::keyPressEvent(QKeyEvent *event)
{
    // What the strip's controls leave goes no further: the field would take
    // it as typing.
    event->accept();
    switch (event->key()) {
    case Qt::Key_Escape:
        return dismiss();
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return activate();
    default:
        break;
    }
}
