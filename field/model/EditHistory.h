#pragma once

#include "field/model/TextStore.h"

#include <QStringView>

#include <deque>
#include <optional>

// The user's own edits of a document's text, to undo and redo.
//
// The document it belongs to asks it to make each edit of the user's
// (replace()), and it makes them through the document, which announces them;
// appends that arrive are never undone. Appends only add at the end, so the
// positions of earlier edits stay true and undoing one keeps what arrived
// since. A record keeps the text it took out as the store's own chunks, so
// undoing the deletion of a whole log moves them back without a copy.
//
// A run of typing is one step, and so is a run of Backspaces or of Deletes;
// anything else (a caret move, an arrival, another kind of edit) ends it.
//
// What the records took out counts toward the store's capacity: they hold at
// most what would fill the store up, plus spareUnits; past that the oldest
// records are dropped.
class TextDocument;

class EditHistory final
{
    Q_DISABLE_COPY_MOVE(EditHistory)

public:
    enum class Run {
        None,      // a step of its own
        Typing,    // text typed at the caret
        Backspace, // one character before the caret
        Delete,    // one character after the caret
    };
    // What an undo or a redo will do to the text.
    struct Step
    {
        qsizetype at = 0;
        qsizetype removed = 0;
        qsizetype inserted = 0;
        friend bool operator==(const Step &, const Step &) = default;
    };

    static constexpr qsizetype defaultSpareUnits = qsizetype(32) << 20;
    // What a record costs besides the text it keeps, in units.
    static constexpr qsizetype recordUnits = 64;

    explicit EditHistory(TextDocument &document, qsizetype spareUnits = defaultSpareUnits);
    ~EditHistory();

    // Replaces [from, to) with `with` and records it, merged into the last
    // record when it goes on the same run. False, with nothing changed, when
    // the result would not fit.
    bool replace(qsizetype from, qsizetype to, QStringView with, Run run = Run::None);
    // The caret moved, or the like: the next edit starts a step of its own.
    void endRun() { m_open = false; }
    // The store grew at its end: ends the run and drops what no longer fits.
    void textGrew();

    bool canUndo() const { return m_done > 0; }
    bool canRedo() const { return m_done < qsizetype(m_records.size()); }
    std::optional<Step> nextUndo() const;
    std::optional<Step> nextRedo() const;
    // False, with nothing changed, when there is nothing to undo or redo or
    // the text it would bring back no longer fits.
    bool undo();
    bool redo();
    // Drops every record; large text they kept goes back as the document gives storage back.
    void clear();

    qsizetype undoCount() const { return m_done; }
    qsizetype redoCount() const { return qsizetype(m_records.size()) - m_done; }
    // What counts toward the budget: the text the records keep and recordUnits each.
    qsizetype heldUnits() const { return m_units; }
    qsizetype memoryBytes() const;

private:
    struct Record
    {
        qsizetype at = 0;
        qsizetype present = 0;   // units of the record's text that are in the store now
        TextStore::Taken absent; // what the store held there before
        Run run = Run::None;
    };
    static qsizetype cost(const Record &record) { return record.absent.length() + recordUnits; }
    // Exchanges the record's text with what the store holds in its place.
    bool swap(Record &record);
    void dropRedo();
    void keepBudget();

    const TextStore &text() const;

    TextDocument &m_document;
    qsizetype m_spare;
    std::deque<Record> m_records; // oldest first; [0, m_done) are done, the rest undone
    qsizetype m_done = 0;
    qsizetype m_units = 0;
    bool m_open = false; // the last record may take the next edit of its run
};
