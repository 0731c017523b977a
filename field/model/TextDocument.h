#pragma once

#include "field/model/EditHistory.h"
#include "field/model/TextStore.h"

#include <QObject>
#include <QString>
#include <QTimer>

// One change of a document's text, as the document announces it.
struct TextChange
{
    enum class Cause {
        Append, // text arrived at the end; never undone
        Edit,   // the user's own edit, an undo or a redo
        Clear,  // everything went, the history too
    };
    Cause cause = Cause::Edit;
    qsizetype from = 0;
    qsizetype removed = 0;
    qsizetype inserted = 0;
    // For an edit, what it removed, at most TextDocument::maxRemovedText of
    // its start: what screen readers are told went.
    QString removedText;
    // The text's edit count once changed: TextStore::edits().
    quint64 edits = 0;
};

// The text of a field with the history of the user's edits: the one door
// every change of the text goes through, arrivals, the user's edits, undo and
// redo, Clear, and giving dropped storage back.
//
// After each change it announces once, through changed(), what changed. The
// field's parts (its layout, view, screen readers' window and input control)
// listen to that and to nothing else about the text; Qt calls them in the
// order they connected.
//
// Invariants:
// - only the document changes its text and its history; both are handed out
//   const, and EditHistory makes its changes through the document;
// - every change of the text is announced exactly once, after it is whole,
//   and the announcement carries text().edits() of that moment, so a
//   listener that keeps the count it last heard can tell when it missed one;
// - what a change dropped goes back to the system releaseSliceBytes at a time,
//   a slice a turn of the event loop, starting only once the listeners have
//   heard of the change and asked for their repaint.
class TextDocument final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextDocument)

public:
    // The system takes some 1.5 ms to take back a slice.
    static constexpr qsizetype releaseSliceBytes = qsizetype(16) << 20;
    static constexpr qsizetype maxRemovedText = 4096;

    explicit TextDocument(const TextStore::Limits &limits = {},
                          qsizetype spareUnits = EditHistory::defaultSpareUnits,
                          QObject *parent = nullptr);
    ~TextDocument() override;

    const TextStore &text() const { return m_text; }
    const EditHistory &history() const { return m_history; }

    // Appends at the end, not as the user's edit: it is never undone, and it
    // ends a run of typing. False, with nothing changed, when it would pass
    // the capacity.
    bool append(QStringView piece);
    bool append(QLatin1StringView piece);
    // The user's edit: replaces [from, to) (clamped to the text) and records
    // it. False, with nothing changed, when the result would not fit.
    bool replace(qsizetype from, qsizetype to, QStringView with,
                 EditHistory::Run run = EditHistory::Run::None);
    // False, with nothing changed, when there is nothing to undo or redo or
    // what it would bring back no longer fits beside what arrived since.
    bool undo();
    bool redo();
    // The caret moved, or the like: the next edit starts a step of its own.
    void endRun() { m_history.endRun(); }
    // Empties the text and the history; it cannot be undone.
    void clear();

    // Gives back about budgetBytes of what changes dropped, at least a chunk,
    // as the document does by itself a slice a turn; true while some is left.
    bool releaseMemory(qsizetype budgetBytes);

    // Positions others keep in the text (TextStore's marks): no change of
    // the text, so nothing is announced.
    TextStore::Mark addMark(qsizetype position = 0) { return m_text.addMark(position); }
    void removeMark(TextStore::Mark mark) { m_text.removeMark(mark); }
    void setMark(TextStore::Mark mark, qsizetype position) { m_text.setMark(mark, position); }
    qsizetype mark(TextStore::Mark mark) const { return m_text.mark(mark); }

Q_SIGNALS:
    void changed(const TextChange &change);

private:
    // What the history does to the text, announced by the change that asked.
    friend class EditHistory;
    TextStore::Taken take(qsizetype position, qsizetype count)
    {
        return m_text.take(position, count);
    }
    bool insert(qsizetype position, QStringView piece) { return m_text.insert(position, piece); }
    bool put(qsizetype position, TextStore::Taken &taken) { return m_text.put(position, taken); }
    void discard(TextStore::Taken &&taken) { m_text.discard(std::move(taken)); }

    template<typename View>
    bool appendView(View piece);
    bool undoOrRedo(bool undo);
    void announce(TextChange change);

    TextStore m_text;
    EditHistory m_history;
    QTimer m_releaseTimer;
};
