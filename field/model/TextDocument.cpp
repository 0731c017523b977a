#include "field/model/TextDocument.h"

#include <algorithm>
#include <optional>
#include <utility>

TextDocument::TextDocument(const TextStore::Limits &limits, qsizetype spareUnits, QObject *parent)
    : QObject(parent)
    , m_text(limits)
    , m_history(*this, spareUnits)
{
    // Each slice waits for the events already queued, the repaint of an
    // emptied view first among them.
    m_releaseTimer.setInterval(0);
    connect(&m_releaseTimer, &QTimer::timeout, this, [this] {
        if (!releaseMemory(releaseSliceBytes))
            m_releaseTimer.stop();
    });
}

TextDocument::~TextDocument() = default;

bool TextDocument::append(QStringView piece)
{
    return appendView(piece);
}

bool TextDocument::append(QLatin1StringView piece)
{
    return appendView(piece);
}

template<typename View>
bool TextDocument::appendView(View piece)
{
    if (piece.size() > m_text.limits().capacity - m_text.length())
        return false;
    if (piece.isEmpty())
        return true;
    const qsizetype before = m_text.length();
    m_text.append(piece);
    // An arrival ends a run of typing, and the history makes room for it.
    m_history.textGrew();
    announce({ TextChange::Cause::Append, before, 0, piece.size(), {}, 0 });
    return true;
}

bool TextDocument::replace(qsizetype from, qsizetype to, QStringView with, EditHistory::Run run)
{
    from = std::clamp<qsizetype>(from, 0, m_text.length());
    to = std::clamp<qsizetype>(to, 0, m_text.length());
    if (to < from)
        std::swap(from, to);
    if (from == to && with.isEmpty())
        return true;
    QString removed = m_text.text(from, std::min(to, from + maxRemovedText));
    if (!m_history.replace(from, to, with, run))
        return false;
    announce({ TextChange::Cause::Edit, from, to - from, with.size(), std::move(removed), 0 });
    return true;
}

bool TextDocument::undo()
{
    return undoOrRedo(true);
}

bool TextDocument::redo()
{
    return undoOrRedo(false);
}

bool TextDocument::undoOrRedo(bool undo)
{
    const std::optional<EditHistory::Step> step
            = undo ? m_history.nextUndo() : m_history.nextRedo();
    if (!step)
        return false;
    QString removed = m_text.text(step->at, step->at + std::min(step->removed, maxRemovedText));
    if (!(undo ? m_history.undo() : m_history.redo()))
        return false;
    announce({ TextChange::Cause::Edit, step->at, step->removed, step->inserted, std::move(removed),
               0 });
    return true;
}

void TextDocument::clear()
{
    const qsizetype cleared = m_text.length();
    m_history.clear();
    m_text.clear();
    announce({ TextChange::Cause::Clear, 0, cleared, 0, {}, 0 });
}

void TextDocument::announce(TextChange change)
{
    change.edits = m_text.edits();
    Q_EMIT changed(change);
    if (m_text.hasMemoryToRelease() && !m_releaseTimer.isActive())
        m_releaseTimer.start();
}

bool TextDocument::releaseMemory(qsizetype budgetBytes)
{
    return m_text.releaseMemory(budgetBytes);
}
