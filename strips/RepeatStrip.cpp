#include "strips/RepeatStrip.h"

#include "strips/RepeatSchedule.h"

#include <QLineEdit>
#include <QPushButton>

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
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &RepeatStrip::tick);
    connect(m_startStop, &QPushButton::clicked, this, &RepeatStrip::activate);
}

void RepeatStrip::start()
{
    const qint64 every = m_every->text().toLongLong();
    if (every < 1 || every > maxEveryMs) {
        setStatus(m_every->text().isEmpty() ? QStringLiteral("Every needs a number of ms")
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
    // The toolkit's precise repeating timer keeps to start + k × interval
    // itself, late only by its wake-up; tick 0 is sent at once.
    m_timer.start(int(every));
    showCount();
    tick();
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
    const qint64 elapsed = m_clock.nsecsElapsed();
    // Once the timer has fallen behind it keeps a later phase of its own, and
    // may then come twice within one interval of ours.
    if (waitFor(elapsed, m_intervalNs, m_next) > 0)
        return;
    const RepeatStep step = stepAt(elapsed, m_intervalNs, m_next);
    m_skipped += step.skipped;
    m_next = step.tick + 1;
    const QString refused = m_send();
    if (!refused.isNull())
        return stopWith(refused);
    ++m_sent;
    if (m_timesLimit > 0 && m_sent >= m_timesLimit)
        return stopWith(QString());
    if (m_intervalNs >= statusEveryNs || m_shown.nsecsElapsed() >= statusEveryNs)
        showCount();
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
