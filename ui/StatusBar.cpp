#include "ui/StatusBar.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLabel>

namespace {
constexpr int edge = 2;
constexpr int panel2Width = 200;
constexpr int panel3Width = 96;

// A plain QWidget would read as an unnamed pane; the bar is a status bar.
QAccessibleInterface *statusBarAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("StatusBar") && qobject_cast<StatusBar *>(object))
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::StatusBar);
    return nullptr;
}
} // namespace

StatusBar::StatusBar(QWidget *parent)
    : QWidget(parent)
{
    // Before anything asks for the bar's interface: once made, it is kept for good.
    QAccessible::installFactory(statusBarAccessible);
    // A panel is named by its text, as any label is, so a screen reader speaks
    // the message itself; what the panel reports on is its description.
    const QString roles[]
            = { QStringLiteral("Status"), QStringLiteral("Status 2"), QStringLiteral("Link") };
    for (int i = 0; i < 3; ++i) {
        auto *label = new QLabel(this);
        label->setObjectName(QStringLiteral("StatusBarPanel%1").arg(i + 1));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setTextFormat(Qt::PlainText);
        label->setIndent(3);
        label->setAccessibleDescription(roles[i]);
        m_panels[size_t(i)] = label;
    }
    m_panels[0]->setMinimumWidth(96);
}

void StatusBar::resizeEvent(QResizeEvent *)
{
    // Panel 1 takes what panels 2 and 3 and the bar's edges leave.
    const int h = height() - 2 * edge;
    const int panel1Width = width() - 2 * edge - panel2Width - panel3Width;
    m_panels[0]->setGeometry(edge, edge, panel1Width, h);
    m_panels[1]->setGeometry(edge + panel1Width, edge, panel2Width, h);
    m_panels[2]->setGeometry(edge + panel1Width + panel2Width, edge, panel3Width, h);
}

QLabel *StatusBar::panel(int panel) const
{
    Q_ASSERT(panel >= 1 && panel <= 3);
    return m_panels[size_t(panel - 1)];
}

void StatusBar::setPanelText(int panel, const QString &text)
{
    QLabel *label = this->panel(panel);
    if (label->text() == text)
        return;
    // Said once per change: a repeated message (a flood of failed arrivals)
    // would otherwise be read out again and again. QLabel itself tells
    // assistive tools its name (the text) changed.
    label->setText(text);
}

QString StatusBar::panelText(int panel) const
{
    return this->panel(panel)->text();
}
