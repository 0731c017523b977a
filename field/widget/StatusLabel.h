#pragma once

#include <QLabel>
#include <QString>

// A strip's status line: where the controls leave too little room it shows
// its start and elides at the end ("Sent 12; stopped: …"), since the start
// says what happened and the rest why. text(), the tooltip and what a screen
// reader hears stay whole.
class StatusLabel final : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusLabel)

public:
    explicit StatusLabel(QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;
};
