#include "field/widget/StatusLabel.h"

#include <QPainter>
#include <QStyle>

StatusLabel::StatusLabel(QWidget *parent)
    : QLabel(parent)
{
    // It takes the room the controls leave and is cut short there rather than
    // squeezing them.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void StatusLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(),
                          fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width()),
                          foregroundRole());
}
