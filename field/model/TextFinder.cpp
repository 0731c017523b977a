#include "field/model/TextFinder.h"

#include "field/model/TextSnapshot.h"
#include "field/model/TextStore.h"

TextFinder::TextFinder(const TextStore &text, QObject *parent)
    : QObject(parent)
    , m_text(text)
{
    connect(&m_job, &BackgroundJob::finished, this, &TextFinder::finished);
}

TextFinder::~TextFinder() = default;

void TextFinder::find(const std::shared_ptr<const TextPattern> &pattern, qsizetype from,
                      SearchDirection direction)
{
    cancel();
    if (!pattern || pattern->isEmpty())
        return;
    m_pattern = pattern;
    m_direction = direction;
    m_wrapped = false;
    start(from);
}

void TextFinder::cancel()
{
    m_job.cancel();
    m_searching = false;
}

void TextFinder::start(qsizetype from)
{
    m_searching = true;
    m_job.start([this, snapshot = m_text.snapshot(), pattern = m_pattern, from,
                 direction = m_direction](const BackgroundJob::Run &run) {
        m_outcome
                = findNearest(searchedText(snapshot), *pattern, from, direction, &run.cancelFlag());
    });
}

void TextFinder::finished()
{
    m_searching = false;
    if (!m_job.failure().isEmpty())
        return Q_EMIT failed(m_job.failure());
    const SearchOutcome outcome = m_outcome;
    if (outcome.cancelled)
        return;
    if (!outcome.found())
        return Q_EMIT notFound();
    m_wrapped = m_wrapped || outcome.wrapped;
    // The snapshot was the text when the search began; an edit since may have
    // broken the match, and then the next one is searched for.
    if (!matchesAt(searchedText(m_text), *m_pattern, outcome.start)) {
        const bool forward = m_direction == SearchDirection::Forward;
        return start(forward ? outcome.start + 1 : outcome.start);
    }
    Q_EMIT found(outcome.start, m_pattern->length(), m_wrapped);
}
