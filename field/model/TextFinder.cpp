#include "field/model/TextFinder.h"

#include "field/model/TextSnapshot.h"
#include "field/model/TextStore.h"

#include <exception>

TextFinder::TextFinder(const TextStore &text, QObject *parent)
    : QObject(parent)
    , m_text(text)
{ }

TextFinder::~TextFinder()
{
    stopWorker();
}

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
    stopWorker();
    ++m_generation;
    m_searching = false;
}

void TextFinder::stopWorker()
{
    if (!m_worker.joinable())
        return;
    m_cancel.store(true, std::memory_order_relaxed);
    m_worker.join();
    m_cancel.store(false, std::memory_order_relaxed);
}

void TextFinder::start(qsizetype from)
{
    stopWorker();
    const quint64 generation = ++m_generation;
    m_searching = true;
    m_worker = std::thread([this, generation, snapshot = m_text.snapshot(), pattern = m_pattern,
                            from, direction = m_direction] {
        SearchOutcome outcome;
        QString failure;
        try {
            outcome = findNearest(searchedText(snapshot), *pattern, from, direction, &m_cancel);
        } catch (const std::exception &error) {
            failure = QString::fromLocal8Bit(error.what());
        }
        QMetaObject::invokeMethod(
                this,
                [this, generation, outcome, failure] { finished(generation, outcome, failure); },
                Qt::QueuedConnection);
    });
}

void TextFinder::finished(quint64 generation, const SearchOutcome &outcome, const QString &failure)
{
    if (generation != m_generation)
        return;
    m_worker.join();
    m_searching = false;
    if (!failure.isEmpty())
        return Q_EMIT failed(failure);
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
