#include "field/widget/ReaderWindow.h"

#include <QAccessible>

#include <algorithm>
#include <climits>

namespace {

// A screen reader hears at most this much of the arrivals since the last notice.
constexpr qsizetype maxAnnounced = 4096;
// The window moves in steps of this, so that a log growing at its end moves
// it once a step and not with every arrival.
constexpr qsizetype readerStep = ReaderWindow::size / 4;
static_assert(ReaderWindow::size <= INT_MAX);

int clampedInt(qsizetype value)
{
    return int(std::clamp<qsizetype>(value, 0, INT_MAX));
}

// Where the window starts for a caret: it holds the caret, well inside it
// when it can, and it stays full at the end of the log.
qsizetype startFor(qsizetype caret, qsizetype length)
{
    constexpr qsizetype window = ReaderWindow::size;
    if (length <= window)
        return 0;
    const qsizetype centred
            = (std::max<qsizetype>(0, caret - window / 2) / readerStep) * readerStep;
    const qsizetype last = (length - window + readerStep - 1) / readerStep * readerStep;
    return std::min(centred, last);
}

} // namespace

QString ReaderWindow::readable(QString text)
{
    return text.replace(QChar(u'\0'), QChar(0x2400));
}

ReaderWindow::ReaderWindow(QObject &field, const TextStore &text)
    : m_field(field)
    , m_text(text)
{
    m_announceTimer.setSingleShot(true);
    QObject::connect(&m_announceTimer, &QTimer::timeout, &m_field, [this] { announceArrivals(); });
}

void ReaderWindow::textChanged(const TextChange &change)
{
    if (change.cause == TextChange::Cause::Edit) {
        edited(change.from, change.removedText, change.inserted);
    } else if (change.cause == TextChange::Cause::Clear) {
        cleared();
    } else {
        // Text not of the user's carries the caret along as the store
        // carries its marks; where the control puts it after, it tells.
        if (m_caret >= change.from)
            m_caret += change.inserted;
        grew(change.from);
    }
}

void ReaderWindow::grew(qsizetype from)
{
    if (m_unannouncedFrom < 0)
        m_unannouncedFrom = from;
    if (!m_announceTimer.isActive())
        announceArrivals();
}

void ReaderWindow::cleared()
{
    m_unannouncedFrom = -1;
}

void ReaderWindow::follow(bool arrivals)
{
    // What screen readers were told they see, and what they will see now.
    // Arrivals not yet told are left to their own paced notice, which tells
    // the end of the window when it is due.
    const qsizetype length = m_text.length();
    const qsizetype known = m_unannouncedFrom >= 0 && !arrivals ? m_unannouncedFrom : length;
    const qsizetype oldStart = std::min(m_start, known);
    const qsizetype oldEnd = std::min(oldStart + m_length, known);
    // The window stays while it holds the caret, so that a reader's offsets
    // stay put as long as they can.
    const bool holds = m_caret >= oldStart && m_caret <= oldStart + size;
    const qsizetype start = std::min(holds ? oldStart : startFor(m_caret, length), known);
    const qsizetype end = std::min(start + size, known);
    m_start = start;
    m_length = end - start;
    if (start == oldStart && end == oldEnd)
        return;
    const auto tell = [this](bool insert, qsizetype at, qsizetype from, qsizetype to) {
        if (from >= to)
            return;
        const QString text = readable(m_text.text(from, to));
        if (insert) {
            QAccessibleTextInsertEvent event(&m_field, clampedInt(at), text);
            QAccessible::updateAccessibility(&event);
        } else {
            QAccessibleTextRemoveEvent event(&m_field, clampedInt(at), text);
            QAccessible::updateAccessibility(&event);
        }
    };
    if (start >= oldEnd || end <= oldStart) {
        tell(false, 0, oldStart, oldEnd);
        if (!arrivals)
            tell(true, 0, start, end);
        return;
    }
    // The front first, so that the back is told in offsets of the new start.
    if (start > oldStart)
        tell(false, 0, oldStart, start);
    else
        tell(true, 0, start, oldStart);
    if (arrivals)
        return;
    if (end < oldEnd)
        tell(false, end - start, end, oldEnd);
    else
        tell(true, oldEnd - start, oldEnd, end);
}

void ReaderWindow::announceArrivals()
{
    // A quiet interval ends the pacing: the next arrival is told at once.
    if (m_unannouncedFrom < 0)
        return;
    follow(true);
    // Told whether or not a reader listens yet: paced, it costs one short
    // text a tenth of a second, and Qt drops it when nobody takes it.
    const qsizetype end = m_text.length();
    const qsizetype from = std::max({ m_unannouncedFrom, end - maxAnnounced, m_start });
    m_unannouncedFrom = -1;
    m_length = length();
    if (from < end) {
        QAccessibleTextInsertEvent inserted(&m_field, clampedInt(from - m_start),
                                            readable(m_text.text(from, end)));
        QAccessible::updateAccessibility(&inserted);
    }
    m_announceTimer.start(announceIntervalMs);
}

void ReaderWindow::edited(qsizetype at, const QString &removed, qsizetype inserted)
{
    if (m_unannouncedFrom > at)
        m_unannouncedFrom = at;
    // Screen readers hear of an edit in the window they see; the window then
    // follows the caret.
    const qsizetype start = m_start;
    const bool seen = at >= start && at <= start + m_length;
    if (seen)
        m_length = std::max<qsizetype>(at - start, m_length - removed.size()) + inserted;
    if (!QAccessible::isActive() || !seen)
        return;
    const QString added = readable(m_text.text(at, at + std::min(inserted, maxAnnounced)));
    const qsizetype offset = at - start;
    if (!removed.isEmpty() && !added.isEmpty()) {
        QAccessibleTextUpdateEvent update(&m_field, clampedInt(offset), readable(removed), added);
        QAccessible::updateAccessibility(&update);
    } else if (!removed.isEmpty()) {
        QAccessibleTextRemoveEvent remove(&m_field, clampedInt(offset), readable(removed));
        QAccessible::updateAccessibility(&remove);
    } else {
        QAccessibleTextInsertEvent insert(&m_field, clampedInt(offset), added);
        QAccessible::updateAccessibility(&insert);
    }
}

void ReaderWindow::caretMoved(qsizetype cursor, qsizetype anchor)
{
    m_caret = cursor;
    // Arrivals waiting for their paced notice are told first, so that the
    // window can follow the caret into them.
    if (m_unannouncedFrom >= 0)
        announceArrivals();
    follow(false);
    if (!QAccessible::isActive())
        return;
    const auto offset = [this](qsizetype position) {
        return clampedInt(std::clamp<qsizetype>(position - start(), 0, length()));
    };
    QAccessibleTextCursorEvent caret(&m_field, offset(cursor));
    QAccessible::updateAccessibility(&caret);
    if (cursor != anchor) {
        QAccessibleTextSelectionEvent selection(&m_field, offset(std::min(cursor, anchor)),
                                                offset(std::max(cursor, anchor)));
        selection.setCursorPosition(offset(cursor));
        QAccessible::updateAccessibility(&selection);
    }
}
