#include "ui/StatusBar.h"

#include <QAccessible>
#include <QLabel>

namespace {
constexpr int edge = 2;
constexpr int panel2Width = 200;
constexpr int panel3Width = 96;
} // namespace

StatusBar::StatusBar(QWidget *parent)
    : QWidget(parent)
{
    for (int i = 0; i < 3; ++i) {
        auto *label = new QLabel(this);
        label->setObjectName(QStringLiteral("StatusBarPanel%1").arg(i + 1));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setTextFormat(Qt::PlainText);
        label->setIndent(3);
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
    this->panel(panel)->setText(text);
}

QString StatusBar::panelText(int panel) const
{
    return this->panel(panel)->text();
}
