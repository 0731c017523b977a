#pragma once

#include <QWidget>

#include <array>

class QLabel;

// Three plain text panels placed by geometry, so they keep their exact widths
// (QStatusBar adds margins and spacing of its own).
class StatusBar final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusBar)

public:
    explicit StatusBar(QWidget *parent = nullptr);

    void setPanelText(int panel, const QString &text);
    QString panelText(int panel) const;
    QLabel *panel(int panel) const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    std::array<QLabel *, 3> m_panels {};
};
