#include "ui/artwork.h"

#include <QLinearGradient>
#include <QPainter>

QPixmap drawBanner()
{
    QPixmap pixmap(444, 79);
    QPainter painter(&pixmap);
    QLinearGradient gradient(0, 0, 444, 0);
    gradient.setColorAt(0, QColor(20, 40, 90));
    gradient.setColorAt(1, QColor(40, 110, 170));
    painter.fillRect(pixmap.rect(), gradient);
    return pixmap;
}

QPixmap drawSidePicture()
{
    QPixmap pixmap(640, 506);
    pixmap.fill(QColor(30, 60, 110));
    return pixmap;
}

QPixmap drawIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(QColor(30, 80, 150));
    return pixmap;
}
