#pragma once

#include "field/widget/FieldStrip.h"

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

class QLineEdit;
class QPushButton;

// "Send Repeatedly…" in the send box: Every [ms], Times (0: until stopped),
// Start/Stop and "Sent 12" or "Sent 12 of 100". Each repetition runs the
// window's one Send Data; the ticks keep to an absolute schedule, and those a
// late tick missed are counted as skipped, never sent.
//
// Invariants: running is the timer armed, and then Every and Times are
// read-only and were read at Start; m_sent <= m_times while m_times > 0.
class RepeatStrip final : public FieldStrip
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RepeatStrip)

public:
    // What one repetition does: a null string when the send went out, or what
    // refused it or failed, as status panel 1 then says.
    using Send = std::function<QString()>;

    static constexpr qint64 maxEveryMs = 86'400'000;

    RepeatStrip(TextField *field, Send send);

    bool isRunning() const { return m_timer.isActive(); }
    void start();
    // Stops the repetition, if one runs; a reason says what stopped it.
    void stopWith(const QString &reason);

protected:
    void stop() override { stopWith(QString()); }
    void activate() override { isRunning() ? stop() : start(); }

private:
    void tick();
    void showCount(const QString &reason = {});

    Send m_send;
    QLineEdit *m_every;
    QLineEdit *m_times;
    QPushButton *m_startStop;
    QTimer m_timer;
    QElapsedTimer m_clock; // since Start
    qint64 m_intervalNs = 0;
    qint64 m_timesLimit = 0; // 0: until stopped
    qint64 m_next = 0;       // the first tick not sent or skipped
    qint64 m_sent = 0;
    qint64 m_skipped = 0;
    QElapsedTimer m_shown; // since the status last changed
};
