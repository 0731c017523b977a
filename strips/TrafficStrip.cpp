#include "strips/TrafficStrip.h"

#include "strips/rates.h"
#include "text/groupedNumber.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include <algorithm>
#include <deque>

// The two rates of the last 60 s, in bytes a second, drawn as two lines on
// one scale: its top is the largest rate shown, written in the corner.
class RateGraph final : public QWidget
{
public:
    explicit RateGraph(QWidget *parent)
        : QWidget(parent)
    {
        setObjectName(QStringLiteral("trafficGraph"));
        setAccessibleName(QStringLiteral("Rates over the last 60 s"));
        setMinimumSize(TrafficStrip::graphSamples / 2, fontMetrics().height() * 3);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        clear();
    }
    void add(double in, double out)
    {
        m_in.pop_front();
        m_in.push_back(in);
        m_out.pop_front();
        m_out.push_back(out);
    }
    void clear()
    {
        m_in.assign(TrafficStrip::graphSamples, 0);
        m_out.assign(TrafficStrip::graphSamples, 0);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        painter.fillRect(rect(), palette().base());
        painter.setPen(palette().mid().color());
        painter.drawRect(area);
        const double top = std::max({ 1.0, *std::max_element(m_in.begin(), m_in.end()),
                                      *std::max_element(m_out.begin(), m_out.end()) });
        painter.setRenderHint(QPainter::Antialiasing);
        const auto line = [&](const std::deque<double> &rates, const QColor &color) {
            QPainterPath path;
            const double step = area.width() / double(rates.size() - 1);
            for (size_t i = 0; i < rates.size(); ++i) {
                const QPointF point(area.left() + step * double(i),
                                    area.bottom() - rates[i] / top * (area.height() - 2));
                i == 0 ? path.moveTo(point) : path.lineTo(point);
            }
            painter.setPen(QPen(color, 1.5));
            painter.drawPath(path);
        };
        const QColor inColor(0, 110, 200);
        const QColor outColor(220, 110, 0);
        line(m_out, outColor);
        line(m_in, inColor);
        painter.setRenderHint(QPainter::Antialiasing, false);
        const int x = 4;
        const int baseline = fontMetrics().ascent() + 1;
        painter.setPen(palette().text().color());
        const QString scale = rateText(top);
        painter.drawText(x, baseline, scale);
        int at = x + fontMetrics().horizontalAdvance(scale) + 8;
        for (const auto &[label, color] : { std::pair { QStringLiteral("In"), inColor },
                                            std::pair { QStringLiteral("Out"), outColor } }) {
            painter.setPen(color);
            painter.drawText(at, baseline, label);
            at += fontMetrics().horizontalAdvance(label) + 8;
        }
        painter.setPen(palette().text().color());
        painter.drawText(rect().adjusted(0, 0, -4, -1), Qt::AlignRight | Qt::AlignBottom,
                         QStringLiteral("60 s"));
    }

private:
    std::deque<double> m_in;
    std::deque<double> m_out;
};

TrafficStrip::TrafficStrip(TextField *log)
    : FieldStrip(log, QStringLiteral("Traffic…"), "trafficStrip")
    , m_reset(new QPushButton(QStringLiteral("Reset"), this))
    , m_graph(new RateGraph(this))
{
    m_reset->setObjectName(QStringLiteral("trafficReset"));
    m_reset->setAutoDefault(false);
    addControl(m_reset);
    addControl(m_graph, {}, 1);
    startRow();
    connect(m_reset, &QPushButton::clicked, this, &TrafficStrip::reset);
    // Sampled from the first traffic on, so that the graph has its history
    // when opened; before it there is nothing but zeros to draw.
    m_sampler.setInterval(sampleMs);
    connect(&m_sampler, &QTimer::timeout, this, &TrafficStrip::sample);
    m_described.start();
    describe();
}

double TrafficStrip::Side::rate() const
{
    return double(recent.back() - recent.front()) * 1000 / (rateSamples * sampleMs);
}

void TrafficStrip::Side::sample()
{
    std::rotate(recent.begin(), recent.begin() + 1, recent.end());
    recent.back() = bytes;
}

void TrafficStrip::sample()
{
    const quint64 inBefore = m_in.recent.back();
    const quint64 outBefore = m_out.recent.back();
    m_in.sample();
    m_out.sample();
    m_graph->add(double(m_in.bytes - inBefore) * 1000 / sampleMs,
                 double(m_out.bytes - outBefore) * 1000 / sampleMs);
    m_idleSamples = m_in.bytes == inBefore && m_out.bytes == outBefore ? m_idleSamples + 1 : 0;
    if (isHidden()) {
        // Graph and rates hold only zeros now; count() starts it again.
        if (m_idleSamples > graphSamples + rateSamples)
            m_sampler.stop();
        return;
    }
    m_graph->update();
    if (m_described.elapsed() >= describeMs - sampleMs / 2)
        describe();
}

void TrafficStrip::describe()
{
    m_described.start();
    setStatus(QStringLiteral("In: %1 bytes, %2 arrivals, %3.  Out: %4 bytes, %5 sends, %6")
                      .arg(groupedNumber(m_in.bytes), groupedNumber(m_in.items),
                           rateText(m_in.rate()), groupedNumber(m_out.bytes),
                           groupedNumber(m_out.items), rateText(m_out.rate())));
}

void TrafficStrip::reset()
{
    m_in = Side();
    m_out = Side();
    m_graph->clear();
    m_graph->update();
    describe();
}

void TrafficStrip::open()
{
    m_sampler.start();
    describe();
    FieldStrip::open();
}
