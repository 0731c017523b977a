#include "field/model/EditHistory.h"
#include "field/model/TextDocument.h"

#include <algorithm>
#include <utility>

EditHistory::EditHistory(TextDocument &document, qsizetype spareUnits)
    : m_document(document)
    , m_spare(std::max<qsizetype>(0, spareUnits))
{ }

EditHistory::~EditHistory() = default;

const TextStore &EditHistory::text() const
{
    return m_document.text();
}

bool EditHistory::replace(qsizetype from, qsizetype to, QStringView with, Run run)
{
    from = std::clamp<qsizetype>(from, 0, text().length());
    to = std::clamp<qsizetype>(to, 0, text().length());
    if (to < from)
        std::swap(from, to);
    if (with.size() > text().limits().capacity - (text().length() - (to - from)))
        return false;
    if (from == to && with.isEmpty())
        return true;
    dropRedo();
    Record *last = m_open && m_done > 0 ? &m_records[m_done - 1] : nullptr;
    if (last && (last->run != run || run == Run::None))
        last = nullptr;
    const bool removes = from < to;
    if (last && run == Run::Typing && (removes || from != last->at + last->present))
        last = nullptr;
    if (last && run == Run::Backspace
        && (!with.isEmpty() || last->present != 0 || !removes || to != last->at))
        last = nullptr;
    if (last && run == Run::Delete
        && (!with.isEmpty() || last->present != 0 || !removes || from != last->at))
        last = nullptr;

    TextStore::Taken removed = m_document.take(from, to - from);
    m_document.insert(from, with);
    if (!last) {
        m_records.push_back(Record { from, with.size(), std::move(removed), run });
        m_units += cost(m_records.back());
        ++m_done;
    } else if (run == Run::Typing) {
        last->present += with.size();
    } else {
        m_units += removed.length();
        if (run == Run::Backspace) {
            text().join(removed, std::move(last->absent));
            last->absent = std::move(removed);
            last->at = from;
        } else {
            text().join(last->absent, std::move(removed));
        }
    }
    m_open = run != Run::None;
    keepBudget();
    return true;
}

void EditHistory::textGrew()
{
    m_open = false;
    keepBudget();
}

std::optional<EditHistory::Step> EditHistory::nextUndo() const
{
    if (!canUndo())
        return std::nullopt;
    const Record &record = m_records[m_done - 1];
    return Step { record.at, record.present, record.absent.length() };
}

std::optional<EditHistory::Step> EditHistory::nextRedo() const
{
    if (!canRedo())
        return std::nullopt;
    const Record &record = m_records[m_done];
    return Step { record.at, record.present, record.absent.length() };
}

bool EditHistory::undo()
{
    if (!canUndo() || !swap(m_records[m_done - 1]))
        return false;
    --m_done;
    m_open = false;
    keepBudget();
    return true;
}

bool EditHistory::redo()
{
    if (!canRedo() || !swap(m_records[m_done]))
        return false;
    ++m_done;
    m_open = false;
    keepBudget();
    return true;
}

bool EditHistory::swap(Record &record)
{
    const qsizetype restored = record.absent.length();
    // Checked before anything moves, so a refusal changes nothing.
    if (restored - record.present > text().limits().capacity - text().length())
        return false;
    TextStore::Taken now = m_document.take(record.at, record.present);
    m_document.put(record.at, record.absent);
    m_units += now.length() - restored;
    record.present = restored;
    record.absent = std::move(now);
    return true;
}

void EditHistory::dropRedo()
{
    while (canRedo()) {
        m_units -= cost(m_records.back());
        m_document.discard(std::move(m_records.back().absent));
        m_records.pop_back();
    }
}

void EditHistory::keepBudget()
{
    const qsizetype budget
            = std::max<qsizetype>(0, text().limits().capacity - text().length()) + m_spare;
    while (m_units > budget && !m_records.empty()) {
        // The oldest step goes first; once none is left to undo, the step
        // that would be redone last.
        const bool oldest = m_done > 0;
        Record &record = oldest ? m_records.front() : m_records.back();
        m_units -= cost(record);
        m_document.discard(std::move(record.absent));
        if (oldest) {
            m_records.pop_front();
            --m_done;
        } else {
            m_records.pop_back();
        }
    }
    if (m_done == 0)
        m_open = false;
}

void EditHistory::clear()
{
    for (Record &record : m_records)
        m_document.discard(std::move(record.absent));
    std::deque<Record>().swap(m_records);
    m_done = 0;
    m_units = 0;
    m_open = false;
}

qsizetype EditHistory::memoryBytes() const
{
    qsizetype bytes = sizeof(EditHistory);
    for (const Record &record : m_records)
        bytes += qsizetype(sizeof(Record)) + record.absent.memoryBytes()
                 - qsizetype(sizeof(TextStore::Taken));
    return bytes;
}
