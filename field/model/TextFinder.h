#pragma once

#include "field/model/TextSearch.h"
#include "worker/BackgroundJob.h"

#include <QObject>
#include <QString>

#include <memory>

class TextStore;

// Finds a text in a field's text on a thread of its own, over a snapshot of
// the text, so that the window answers while a gigabyte is read and arrivals
// go on meanwhile. A match is handed over only once it holds in the live text:
// an edit made during the search may have broken it, and then the search goes
// on past it, over a fresh snapshot.
//
// Invariants: at most one search runs, on m_job's thread; it only reads its
// snapshot and writes m_outcome, which the GUI thread reads once m_job has
// finished. A result of any but the latest search is dropped, and a new
// search or cancel() stops the running one before it returns: the search
// looks at the flag once a piece.
class TextFinder final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextFinder)

public:
    // The store must outlive the finder; it is read on the GUI thread only.
    explicit TextFinder(const TextStore &text, QObject *parent = nullptr);
    ~TextFinder() override;

    // The nearest match of `pattern` after `from` (or before it, backward),
    // wrapping past the end. An empty pattern finds nothing and says nothing.
    void find(const std::shared_ptr<const TextPattern> &pattern, qsizetype from,
              SearchDirection direction);
    void cancel();
    bool isSearching() const { return m_searching; }

Q_SIGNALS:
    void found(qsizetype start, qsizetype length, bool wrapped);
    void notFound();
    void failed(const QString &cause);

private:
    void start(qsizetype from);
    void finished();

    const TextStore &m_text;
    std::shared_ptr<const TextPattern> m_pattern;
    SearchDirection m_direction = SearchDirection::Forward;
    bool m_wrapped = false; // an earlier round of this search went past the end
    bool m_searching = false;
    SearchOutcome m_outcome; // the search's, while it runs
    BackgroundJob m_job;     // last: it is joined before what the search writes goes
};
