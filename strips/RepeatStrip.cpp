#include "strips/RepeatStrip.h"

#include "strips/RepeatSchedule.h"

#include <QLineEdit>
#include <QPushButton>

#include <chrono>

namespace {
constexpr qint64 nsPerMs = 1'000'000;
// At short intervals the count is shown at most this often: a label set a
// thousand times a second would cost more than the sends.
constexpr qint64 statusEveryNs = 100 * nsPerMs;
} // namespace

RepeatStrip::RepeatStrip(TextField *field, Send send)
    : FieldStrip(field, QStringLiteral("Send Repeatedly…"), "repeatStrip")
    , m_send(std::move(send))
    , m_every(digitsField(QStringLiteral("Every"), QStringLiteral("1000"), 8))
    , m_times(digitsField(QStringLiteral("Times"), QStringLiteral("0"), 9))
    , m_startStop(new QPushButton(QStringLiteral("Start"), this))
{
    m_every->setObjectName(QStringLiteral("repeatEvery"));
    m_times->setObjectName(QStringLiteral("repeatTimes"));
    m_startStop->setObjectName(QStringLiteral("repeatStartStop"));
    m_every->setAccessibleName(QStringLiteral("Every, ms"));
    m_times->setAccessibleName(QStringLiteral("Times, 0 until stopped"));
    m_startStop->setAutoDefault(false);
    addControl(m_every, QStringLiteral("Every"));
    addControl(m_times, QStringLiteral("ms  Times"));
    addControl(m_startStop);
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &RepeatStrip::tick);
    connect(m_startStop, &QPushButton::clicked, this, &RepeatStrip::activate);
}

void RepeatStrip::start()
{
    const qint64 every = m_every->text().toLongLong();
    if (every < 1 || every > maxEveryMs) {
        setStatus(m_every->text().isEmpty()
                          ? QStringLiteral("Every needs a number of ms")
                          : QStringLiteral("Every must be 1 to 86400000 ms"));
        return;
    }
    m_intervalNs = every * nsPerMs;
    m_timesLimit = m_times->text().toLongLong(); // empty reads 0: until stopped
    m_next = m_sent = m_skipped = 0;
    m_every->setReadOnly(true);
    m_times->setReadOnly(true);
    m_startStop->setText(QStringLiteral("Stop"));
    m_clock.start();
    m_shown.start();
    // Tick 0 is due at once, from the event loop, as every later one is.
    m_timer.start(0);
    showCount();
}

void RepeatStrip::stopWith(const QString &reason)
{
    if (!isRunning())
        return;
    m_timer.stop();
    m_every->setReadOnly(false);
    m_times->setReadOnly(false);
    m_startStop->setText(QStringLiteral("Start"));
    showCount(reason);
}

void RepeatStrip::tick()
{
    const RepeatStep step = stepAt(m_clock.nsecsElapsed(), m_intervalNs, m_next);
    m_skipped += step.skipped;
    m_next = step.tick + 1;
    // Armed first: the send may stop the repetition, or close the strip.
    arm();
    const QString refused = m_send();
    if (!refused.isNull())
        return stopWith(refused);
    ++m_sent;
    if (m_timesLimit > 0 && m_sent >= m_timesLimit)
        return stopWith(QString());
    if (m_intervalNs >= statusEveryNs || m_shown.nsecsElapsed() >= statusEveryNs)
        showCount();
}

void RepeatStrip::arm()
{
    const qint64 waitNs = waitFor(m_clock.nsecsElapsed(), m_intervalNs, m_next);
    // Rounded up: a tick is never early, and late by less than a millisecond.
    m_timer.start(std::chrono::milliseconds((waitNs + nsPerMs - 1) / nsPerMs));
}

void RepeatStrip::showCount(const QString &reason)
{
    QString text = m_timesLimit > 0 ? QStringLiteral("Sent %1 of %2").arg(m_sent).arg(m_timesLimit)
                                    : QStringLiteral("Sent %1").arg(m_sent);
    if (m_skipped > 0)
        text += QStringLiteral(", %1 skipped").arg(m_skipped);
    if (!reason.isEmpty())
        text += QStringLiteral("; stopped: ") + reason;
    setStatus(text);
    m_shown.start();
}
