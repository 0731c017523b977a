#pragma once

#include <QAnyStringView>
#include <QByteArray>
#include <QString>
#include <QStringView>

#include "field/model/StoredText.h"
#include "field/model/TextSnapshot.h"

#include <vector>

// What a TextStore may hold and how it keeps it (TextStore::Limits).
struct TextStoreLimits
{
    qsizetype chunkUnits = qsizetype(64) * 1024; // at least 2
    qsizetype paragraphUnits = 4096;             // at least 1
    qsizetype capacity = qsizetype(1) << 30;     // units the text holds at most
    // Dropped storage of this size or more waits for releaseMemory(); less
    // is freed at once.
    qsizetype keepAsideBytes = qsizetype(32) << 20;
};

// The text of a multi-line field, without any widget: made for a receive log
// that grows at the end to a thousand million characters and still answers at
// once, and for a send box that holds a pasted line of any length.
//
// Positions are UTF-16 code units, as in QString. The text is kept in chunks of
// at most chunkUnits units; a chunk holds one byte per unit while all its units
// are below U+0100 and two otherwise, so plain text costs a byte a character.
// Every unit is kept as it came, NUL and lone surrogates included.
//
// A line ends at LF, at CR, or at CR LF, each one break, also when the CR and
// the LF came in different pieces. Nothing else ends a line. For the view the
// text is cut into paragraphs: the lines, with a line longer than
// paragraphUnits cut every paragraphUnits units from its start, so no
// paragraph is long and appending never moves a cut already made. An empty
// text is one empty paragraph, and a text that ends in a break has an empty
// paragraph after it.
//
// Each chunk knows its breaks, and arrays of running totals over the chunks
// find the chunk of a position or of a paragraph by binary search; the rest is
// a scan of that one chunk. An append touches the last chunk only; any other
// edit rebuilds the chunks it touches and redoes the totals from there on.
//
// Giving a gigabyte back to the system costs the kernel some 85 ms, too long
// for one turn of the event loop. So a clear or a removal that drops much
// leaves the text at once and keeps the dropped storage aside; the owner hands
// it back in slices with releaseMemory(), one per turn, and whatever is left
// is freed with the TextStore.
class TextStore
{
    struct Chunk;

public:
    using Limits = TextStoreLimits;

    TextStore();
    explicit TextStore(const Limits &limits);
    ~TextStore();
    Q_DISABLE_COPY_MOVE(TextStore)

    const Limits &limits() const { return m_limits; }
    qsizetype length() const { return m_startOf.back(); }
    bool isEmpty() const { return length() == 0; }

    // False, with the text unchanged, when the result would pass the capacity.
    bool append(QStringView piece);
    // The same for Latin-1 text, which plain chunks take as it is.
    bool append(QLatin1StringView piece);
    bool insert(qsizetype position, QStringView piece);
    // Positions and counts outside the text are clamped to it.
    void remove(qsizetype position, qsizetype count);
    // Empties the text at once; a large text's storage waits for releaseMemory().
    void clear();

    // Frees storage that clear() or remove() kept aside, about budgetBytes of
    // it and at least one chunk, and hands the pages back to the system. True
    // while some is left.
    bool releaseMemory(qsizetype budgetBytes);
    bool hasMemoryToRelease() const { return !m_aside.empty(); }

    QChar at(qsizetype position) const;
    // The text's chunks as they are stored, without a copy; valid until the
    // next change.
    StoredText stored() const;
    QString text(qsizetype from, qsizetype to) const;
    QString text() const { return text(0, length()); }

    // The text in UTF-8, straight from the chunks, as Utf8Encoder makes it: a
    // lone surrogate becomes U+FFFD (QString::toUtf8() would write '?'); NUL
    // and every other unit are kept.
    QByteArray utf8(qsizetype from, qsizetype to) const;
    // [from, to) as it is now, for reading later or on another thread while
    // the text goes on changing; it shares the chunks, it copies none.
    TextSnapshot snapshot(qsizetype from, qsizetype to) const;
    TextSnapshot snapshot() const { return snapshot(0, length()); }

    struct Paragraph
    {
        qsizetype start = 0;
        qsizetype length = 0; // without the break after it
        // 0 after a cut and after the last paragraph, 2 after CR LF, else 1.
        qsizetype breakLength = 0;
    };

    qsizetype paragraphCount() const { return m_paragraphsBefore.back(); }
    // A paragraph number outside [0, paragraphCount()) is taken as the nearest one.
    Paragraph paragraph(qsizetype paragraph) const;
    qsizetype paragraphStart(qsizetype paragraph) const;
    qsizetype breakLengthAfter(qsizetype paragraph) const
    {
        return this->paragraph(paragraph).breakLength;
    }
    // The last paragraph that starts at or before the position.
    qsizetype paragraphAt(qsizetype position) const;
    // Where the line that holds the position starts: after the last break
    // before it, or 0. A break belongs to the line it ends.
    qsizetype lineStart(qsizetype position) const;

    // --- marks: positions others keep in the text (a field's caret and anchor)
    // Every edit moves them, as a document moves its cursors: an insertion
    // at or before a mark moves it on by what was inserted, a removal that
    // takes it in brings it to the removal's start, a clear to 0. Free marks
    // are -1 and are used again. Taking one costs nothing per edit but a pass
    // over the few marks there are.
    using Mark = int;
    Mark addMark(qsizetype position = 0);
    void removeMark(Mark mark);
    qsizetype mark(Mark mark) const { return m_marks[mark]; }
    // Clamped to the text.
    void setMark(Mark mark, qsizetype position);

    // Roughly the bytes of memory the text holds, bookkeeping and storage kept
    // aside included.
    qsizetype memoryBytes() const;
    // Changes with every change of the text, appends included.
    quint64 edits() const { return m_edits; }
    // What breaks one of the rules above, checked the slow way from scratch;
    // empty when every rule holds. For tests and the fuzzer.
    QString checkInvariants() const;

    // Text taken out of a TextStore together with its storage, so that putting
    // it back costs no copy of it however long it is: the undo of a large
    // deletion. Its chunks keep to the same rules as the store's own.
    class Taken
    {
    public:
        Taken();
        ~Taken();
        Taken(Taken &&other) noexcept;
        Taken &operator=(Taken &&other) noexcept;
        Q_DISABLE_COPY(Taken)

        qsizetype length() const { return m_length; }
        bool isEmpty() const { return m_length == 0; }
        QString text(qsizetype from, qsizetype to) const;
        QString text() const { return text(0, m_length); }
        qsizetype memoryBytes() const;

    private:
        friend class TextStore;
        std::vector<Chunk> m_chunks;
        qsizetype m_length = 0;
    };

    // Removes what remove() would and hands it over; whole chunks change hands
    // without a copy, only the two at the ends are copied.
    Taken take(qsizetype position, qsizetype count);
    // Inserts text taken before, its chunks as they are, and leaves `text`
    // empty; false, with both unchanged, when the result would pass the capacity.
    bool put(qsizetype position, Taken &text);
    // Makes `front` the text of both, `front` then `back`, as when a Backspace
    // takes the character before what the last one took.
    void join(Taken &front, Taken &&back) const;
    // Lets go of taken text as a clear lets go of the text: a large one waits
    // for releaseMemory().
    void discard(Taken &&text);

private:
    // Appends to the last of `chunks`, starting new ones of at most `target` units.
    template<typename View>
    static void appendTo(std::vector<Chunk> &chunks, View piece, qsizetype target,
                         qsizetype paragraphUnits);
    template<typename View>
    bool appendView(View piece);

    qsizetype chunkAt(qsizetype position) const;
    // Units [from, to) of chunk `index` of the store `text`, for StoredText.
    static QAnyStringView pieceOf(const void *text, qsizetype index, qsizetype from, qsizetype to);
    struct Walk
    {
        qsizetype count = 0;
        qsizetype lastOffset = -1;
    };
    // Counts the paragraph starts that belong to a chunk, in order, up to
    // maxCount of them and none past the offset maxOffset; also gives the
    // offset of the last one counted.
    Walk walkStarts(qsizetype chunk, qsizetype maxCount, qsizetype maxOffset,
                    std::vector<qsizetype> *offsets = nullptr) const;
    // The offsets of all the paragraph starts that belong to a chunk. The view
    // asks for many paragraphs of the same chunk or two in a row (a screenful,
    // the caret's): one walk over each serves them all until the text changes.
    const std::vector<qsizetype> &startsIn(qsizetype chunk) const;
    // Replaces chunks [first, last) with the replacement, taking neighbours in
    // where a CR LF would straddle a seam or a chunk would be left small.
    void rebuild(qsizetype first, qsizetype last, QString replacement);
    // The same, handing over the chunks it replaced; gives the index the first
    // of them had, which is below `first` when it took a neighbour in.
    qsizetype rebuild(qsizetype first, qsizetype last, QString replacement,
                      std::vector<Chunk> &replaced);
    // Empties the text and hands over its chunks.
    std::vector<Chunk> takeAll();
    void updateTotalsFrom(qsizetype chunk);
    // Moves the marks for an insertion (removed == 0) or a removal at `at`.
    void moveMarks(qsizetype at, qsizetype removed, qsizetype inserted);
    void computeTotals(qsizetype chunk, std::vector<qsizetype> &startOf,
                       std::vector<qsizetype> &paragraphsBefore,
                       std::vector<qsizetype> &lineStart) const;
    // Frees dropped chunks, or keeps them aside when they are large.
    void release(std::vector<Chunk> chunks);

    Limits m_limits;
    std::vector<Chunk> m_chunks;
    // Entry i describes the start of chunk i; the extra last entry, the end.
    std::vector<qsizetype> m_startOf;          // position
    std::vector<qsizetype> m_paragraphsBefore; // paragraph starts before it, 0 included
    std::vector<qsizetype> m_lineStart;        // start of the line that holds it
    std::vector<Chunk> m_aside;                // dropped, not yet released
    std::vector<qsizetype> m_marks;            // -1 where free

    quint64 m_edits = 0; // changes with every edit, so cached walks know they are stale
    struct Starts
    {
        qsizetype chunk = -1;
        quint64 edits = 0;
        std::vector<qsizetype> offsets;
    };
    mutable Starts m_starts[2];
    mutable int m_startsNext = 0; // the entry to replace next
};
