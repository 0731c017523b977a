#pragma once

#include "field/widget/FieldStrip.h"

#include <QElapsedTimer>
#include <QTimer>

#include <array>

class QPushButton;
class RateGraph;

// "Traffic…" in the receive log: what passed the endpoint each way since the
// program started or the last Reset (In: bytes, arrivals and the rate now;
// Out: bytes, sends and the rate now), and a graph of both rates over the
// last 60 s that the strip draws itself, four times a second. The window
// counts into it everything the endpoint reports, open or not.
//
// Invariants: the counts only grow, but at Reset; the graph holds exactly
// graphSamples samples, one each sampleMs, the oldest first; the status (what
// a screen reader hears) changes at most once each describeMs. The sampler
// runs while the strip is open or anything passed in the graph's span: an
// idle program is not woken four times a second to draw zeros nobody sees.
class TrafficStrip final : public FieldStrip
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrafficStrip)

public:
    static constexpr int sampleMs = 250;
    static constexpr int graphSamples = 60'000 / sampleMs;
    static constexpr int describeMs = 1000;
    // The rate now: what passed in the last second.
    static constexpr int rateSamples = 1000 / sampleMs;

    explicit TrafficStrip(TextField *log);

    // `items`: arrivals inbound, sends outbound.
    void count(bool inbound, qint64 bytes, qint64 items)
    {
        Side &side = inbound ? m_in : m_out;
        side.bytes += quint64(bytes);
        side.items += quint64(items);
        if (!m_sampler.isActive())
            m_sampler.start(); // after idling, every sample it missed was zero
    }
    void reset();
    void open() override;

protected:
    void stop() override { }
    void activate() override { reset(); }

private:
    struct Side
    {
        quint64 bytes = 0;
        quint64 items = 0;
        // Bytes at each of the last rateSamples + 1 samples, the newest last.
        std::array<quint64, rateSamples + 1> recent {};
        double rate() const;
        void sample();
    };
    void sample();
    void describe();

    Side m_in;
    Side m_out;
    QPushButton *m_reset;
    RateGraph *m_graph;
    QTimer m_sampler;
    int m_idleSamples = 0; // in a row, nothing passed either way
    QElapsedTimer m_described;
};
