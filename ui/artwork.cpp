#include "ui/artwork.h"

#include <QBrush>
#include <QColor>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPointF>
#include <QRadialGradient>
#include <QRectF>
#include <QSizeF>

#include <array>
#include <cmath>
#include <numbers>

namespace {

// The window stretches each picture to a size with other proportions. Each
// is drawn in the coordinates of the size it is shown at, and the painter
// maps those onto the source pixels, so circles come out round on screen.
constexpr QSizeF bannerShown(828, 79);
constexpr QSizeF sideShown(290, 242);

const QColor night(9, 20, 44);
const QColor deepBlue(18, 42, 86);
const QColor linkBlue(118, 170, 235);
const QColor paleBlue(190, 215, 245);
const QColor amber(240, 178, 70);
const QColor mist(214, 226, 242);

QPixmap canvas(int width, int height, QSizeF shown, QPainter &painter)
{
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    painter.begin(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.scale(width / shown.width(), height / shown.height());
    return pixmap;
}

QColor withAlpha(QColor color, int alpha)
{
    color.setAlpha(alpha);
    return color;
}

// A host: a glowing ring with a bright core.
void drawNode(QPainter &painter, QPointF centre, qreal radius, const QColor &colour)
{
    QRadialGradient glow(centre, radius * 2.2);
    glow.setColorAt(0, withAlpha(colour, 90));
    glow.setColorAt(1, withAlpha(colour, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(glow);
    painter.drawEllipse(centre, radius * 2.2, radius * 2.2);

    QRadialGradient body(centre - QPointF(radius / 3, radius / 3), radius * 1.3);
    body.setColorAt(0, deepBlue.lighter(150));
    body.setColorAt(1, night);
    painter.setBrush(body);
    painter.setPen(QPen(colour, radius / 6));
    painter.drawEllipse(centre, radius, radius);

    painter.setPen(Qt::NoPen);
    painter.setBrush(colour.lighter(115));
    painter.drawEllipse(centre, radius * 0.36, radius * 0.36);
}

// A packet on the wire: a small rounded block with a notch for its header.
void drawPacket(QPainter &painter, QPointF centre, qreal width, qreal height, const QColor &colour,
                bool headingRight)
{
    const QRectF block(centre.x() - width / 2, centre.y() - height / 2, width, height);
    painter.setPen(QPen(colour.darker(160), 0.8));
    painter.setBrush(colour);
    painter.drawRoundedRect(block, height / 4, height / 4);
    const qreal header = width * 0.28;
    const QRectF headerRect = headingRight
                                      ? QRectF(block.right() - header, block.top(), header, height)
                                      : QRectF(block.left(), block.top(), header, height);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour.lighter(135));
    painter.drawRoundedRect(headerRect.adjusted(1, 1, -1, -1), height / 5, height / 5);
}

// An open arrowhead at the end of a wire, pointing along it.
void drawArrowHead(QPainter &painter, QPointF tip, qreal size, bool pointsRight,
                   const QColor &colour)
{
    const qreal back = pointsRight ? -size : size;
    QPainterPath head;
    head.moveTo(tip.x() + back, tip.y() - size * 0.6);
    head.lineTo(tip);
    head.lineTo(tip.x() + back, tip.y() + size * 0.6);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(head);
}

// A faint signal trace: a sine wave whose swing fades out at both ends.
QPainterPath waveform(qreal left, qreal right, qreal middle, qreal swing, qreal period)
{
    QPainterPath path;
    const int steps = int(right - left);
    for (int i = 0; i <= steps; ++i) {
        const qreal x = left + i;
        const qreal along = qreal(i) / steps;
        const qreal envelope = std::sin(along * std::numbers::pi);
        const qreal y
                = middle + swing * envelope * std::sin((x - left) * 2 * std::numbers::pi / period);
        if (i == 0)
            path.moveTo(x, y);
        else
            path.lineTo(x, y);
    }
    return path;
}

// A small workstation: a screen on a stand.
void drawHost(QPainter &painter, QPointF centre, const QColor &frame, bool lit)
{
    const QRectF screen(centre.x() - 15, centre.y() - 12, 30, 20);
    painter.setPen(QPen(frame, 1.4));
    QLinearGradient glass(screen.topLeft(), screen.bottomRight());
    glass.setColorAt(0, lit ? QColor(40, 86, 150) : QColor(24, 48, 88));
    glass.setColorAt(1, lit ? QColor(20, 50, 100) : QColor(14, 30, 60));
    painter.setBrush(glass);
    painter.drawRoundedRect(screen, 2.5, 2.5);
    if (lit) {
        // A few lines of received text on the screen.
        painter.setPen(QPen(withAlpha(paleBlue, 170), 1.2, Qt::SolidLine, Qt::RoundCap));
        const std::array<qreal, 3> lengths { 18, 12, 15 };
        for (size_t i = 0; i < lengths.size(); ++i) {
            const qreal y = screen.top() + 5 + qreal(i) * 4.5;
            painter.drawLine(QPointF(screen.left() + 5, y),
                             QPointF(screen.left() + 5 + lengths[i], y));
        }
    }
    painter.setPen(QPen(frame, 1.4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(centre.x(), screen.bottom()),
                     QPointF(centre.x(), screen.bottom() + 4));
    painter.drawLine(QPointF(centre.x() - 7, screen.bottom() + 4),
                     QPointF(centre.x() + 7, screen.bottom() + 4));
}

QPointF pointOn(QPointF from, QPointF to, qreal along)
{
    return from + (to - from) * along;
}

} // namespace

QPixmap drawBanner()
{
    QPainter painter;
    QPixmap pixmap = canvas(444, 79, bannerShown, painter);
    const qreal width = bannerShown.width();
    const qreal height = bannerShown.height();

    // Night blue, a little lighter at the left where the picture is; the right
    // end stays dark and plain for the program's name.
    QLinearGradient sky(0, 0, width, 0);
    sky.setColorAt(0, QColor(22, 50, 96));
    sky.setColorAt(0.55, QColor(14, 32, 66));
    sky.setColorAt(1, night);
    painter.fillRect(QRectF(0, 0, width, height), sky);

    // A pale tab along the foot of the right end carries the tag line, which
    // is written in the dark window text; a thin rule leads into it.
    const qreal bandTop = 60;
    const qreal tabLeft = 576;
    QPainterPath tab;
    tab.moveTo(width, bandTop);
    tab.lineTo(tabLeft, bandTop);
    tab.cubicTo(tabLeft - 14, bandTop, tabLeft - 16, height, tabLeft - 30, height);
    tab.lineTo(width, height);
    tab.closeSubpath();
    QLinearGradient paper(tabLeft - 30, 0, width, 0);
    paper.setColorAt(0, QColor(176, 198, 228));
    paper.setColorAt(0.25, mist);
    paper.setColorAt(1, mist);
    painter.setPen(Qt::NoPen);
    painter.setBrush(paper);
    painter.drawPath(tab);

    QLinearGradient rule(0, 0, tabLeft, 0);
    rule.setColorAt(0, withAlpha(linkBlue, 0));
    rule.setColorAt(0.4, withAlpha(linkBlue, 150));
    rule.setColorAt(1, linkBlue);
    painter.setPen(QPen(QBrush(rule), 1.5, Qt::SolidLine, Qt::FlatCap));
    painter.drawLine(QPointF(0, bandTop - 0.75), QPointF(tabLeft, bandTop - 0.75));
    painter.setPen(QPen(linkBlue, 1.5, Qt::SolidLine, Qt::FlatCap));
    painter.drawLine(QPointF(tabLeft, bandTop - 0.75), QPointF(width, bandTop - 0.75));

    // Two hosts, a signal trace behind their link, and packets both ways.
    const QPointF left(58, 30);
    const QPointF right(470, 30);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(withAlpha(linkBlue, 60), 1.2));
    painter.drawPath(waveform(left.x() + 20, right.x() - 20, 30, 17, 46));
    painter.setPen(QPen(withAlpha(paleBlue, 45), 1));
    painter.drawPath(waveform(left.x() + 20, right.x() - 20, 30, 10, 23));

    const qreal outgoing = 24;
    const qreal incoming = 36;
    painter.setPen(QPen(withAlpha(linkBlue, 190), 1.4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(left.x() + 22, outgoing), QPointF(right.x() - 22, outgoing));
    painter.setPen(QPen(withAlpha(amber, 150), 1.4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(left.x() + 22, incoming), QPointF(right.x() - 22, incoming));
    drawArrowHead(painter, QPointF(right.x() - 22, outgoing), 5, true, linkBlue);
    drawArrowHead(painter, QPointF(left.x() + 22, incoming), 5, false, amber);

    for (qreal x : { 150.0, 250.0, 350.0 })
        drawPacket(painter, QPointF(x, outgoing), 20, 9, QColor(96, 150, 226), true);
    for (qreal x : { 205.0, 320.0 })
        drawPacket(painter, QPointF(x, incoming), 20, 9, QColor(222, 158, 58), false);

    drawNode(painter, left, 14, linkBlue);
    drawNode(painter, right, 14, linkBlue);

    painter.end();
    return pixmap;
}

QPixmap drawSidePicture()
{
    QPainter painter;
    QPixmap pixmap = canvas(640, 506, sideShown, painter);
    const qreal width = sideShown.width();
    const qreal height = sideShown.height();

    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(20, 44, 88));
    sky.setColorAt(1, night);
    painter.fillRect(QRectF(0, 0, width, height), sky);

    // A quiet dot grid, like a plotting sheet.
    painter.setPen(Qt::NoPen);
    painter.setBrush(withAlpha(paleBlue, 28));
    for (qreal y = 11; y < height; y += 20)
        for (qreal x = 13; x < width; x += 20)
            painter.drawEllipse(QPointF(x, y), 0.8, 0.8);

    // Rings spreading from the hub.
    const QPointF hub(width / 2, 118);
    painter.setBrush(Qt::NoBrush);
    for (int ring = 1; ring <= 4; ++ring) {
        painter.setPen(QPen(withAlpha(linkBlue, 46 - ring * 9), 1));
        painter.drawEllipse(hub, 30.0 + ring * 22, 30.0 + ring * 22);
    }

    // Five hosts around the hub; the two under test are lit and their link
    // carries traffic both ways.
    struct Host
    {
        QPointF at;
        bool lit;
    };
    const std::array<Host, 5> hosts { {
            { QPointF(48, 46), true },
            { QPointF(242, 46), true },
            { QPointF(36, 170), false },
            { QPointF(254, 170), false },
            { QPointF(145, 212), false },
    } };
    for (const Host &host : hosts) {
        const QColor wire = host.lit ? withAlpha(linkBlue, 200) : withAlpha(paleBlue, 70);
        painter.setPen(QPen(wire, host.lit ? 1.6 : 1.1, host.lit ? Qt::SolidLine : Qt::DashLine,
                            Qt::RoundCap));
        painter.drawLine(hub, host.at);
    }

    // Traffic on the two lit wires: out to the right host, back to the left one.
    for (qreal along : { 0.35, 0.7 }) {
        drawPacket(painter, pointOn(hub, hosts[1].at, along), 13, 7, QColor(96, 150, 226), true);
        drawPacket(painter, pointOn(hosts[0].at, hub, along), 13, 7, QColor(222, 158, 58), true);
    }

    // The hub: a switch with a row of port lights.
    const QRectF body(hub.x() - 34, hub.y() - 15, 68, 30);
    QLinearGradient metal(body.topLeft(), body.bottomLeft());
    metal.setColorAt(0, QColor(58, 96, 160));
    metal.setColorAt(1, QColor(22, 46, 92));
    painter.setPen(QPen(linkBlue, 1.4));
    painter.setBrush(metal);
    painter.drawRoundedRect(body, 6, 6);
    for (int port = 0; port < 6; ++port) {
        const bool busy = port == 1 || port == 4;
        painter.setPen(Qt::NoPen);
        painter.setBrush(busy ? amber : withAlpha(paleBlue, 120));
        painter.drawEllipse(QPointF(body.left() + 11.5 + port * 9, hub.y() + 5), 2.2, 2.2);
    }
    painter.setPen(QPen(withAlpha(paleBlue, 150), 1.2, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(body.left() + 9, hub.y() - 6), QPointF(body.right() - 9, hub.y() - 6));

    for (const Host &host : hosts) {
        if (host.lit) {
            QRadialGradient glow(host.at, 30);
            glow.setColorAt(0, withAlpha(linkBlue, 70));
            glow.setColorAt(1, withAlpha(linkBlue, 0));
            painter.setPen(Qt::NoPen);
            painter.setBrush(glow);
            painter.drawEllipse(host.at, 30, 30);
        }
        drawHost(painter, host.at, host.lit ? paleBlue : withAlpha(paleBlue, 130), host.lit);
    }

    painter.end();
    return pixmap;
}

QPixmap drawIcon(int size)
{
    QPainter painter;
    QPixmap pixmap = canvas(size, size, QSizeF(48, 48), painter);

    // A rounded tile with two arrows: one link, traffic both ways.
    const QRectF tile(2, 2, 44, 44);
    QLinearGradient face(tile.topLeft(), tile.bottomRight());
    face.setColorAt(0, QColor(44, 94, 170));
    face.setColorAt(1, QColor(14, 32, 70));
    painter.setPen(QPen(QColor(8, 18, 40), 1.5));
    painter.setBrush(face);
    painter.drawRoundedRect(tile, 9, 9);

    const auto arrow = [&painter](qreal y, bool pointsRight, const QColor &colour) {
        const qreal from = pointsRight ? 10 : 38;
        const qreal to = pointsRight ? 38 : 10;
        const qreal back = pointsRight ? -9 : 9;
        QPainterPath path;
        path.moveTo(from, y);
        path.lineTo(to, y);
        path.moveTo(to + back, y - 6);
        path.lineTo(to, y);
        path.lineTo(to + back, y + 6);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(colour, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(path);
    };
    arrow(15, true, QColor(170, 210, 255));
    arrow(33, false, amber);

    painter.end();
    return pixmap;
}
