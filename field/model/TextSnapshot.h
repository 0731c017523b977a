#pragma once

#include <QAnyStringView>
#include <QByteArray>
#include <QString>

#include "field/model/StoredText.h"

#include <memory>
#include <vector>

// A range of a TextStore's text as it was when it was taken. It shares the
// store's storage instead of copying it, so taking one costs a few bytes a
// chunk however long the text is, and later edits of the store leave it as it
// was: the store never changes a stored unit in place, it only appends past
// the units already there or makes new storage. Copies are cheap and share
// everything. Any thread may read a snapshot while the GUI thread edits the
// store, so a save or a copy for another program can be encoded off it.
//
// The storage it holds stays allocated until the last snapshot of it goes,
// also when the store clears or deletes that text meanwhile.
class TextSnapshot
{
public:
    // One stored run of units: Latin-1 bytes or UTF-16 units, the other null.
    struct Piece
    {
        std::shared_ptr<const uchar[]> latin1;
        std::shared_ptr<const char16_t[]> utf16;
        qsizetype offset = 0; // of the run's first unit in its storage
        qsizetype size = 0;
        QAnyStringView view(qsizetype from, qsizetype to) const;
    };

    TextSnapshot() = default;
    // The pieces in order, none empty.
    explicit TextSnapshot(std::vector<Piece> pieces);

    qsizetype length() const { return m_data ? m_data->startOf.back() : 0; }
    bool isEmpty() const { return length() == 0; }

    // The runs as they are stored, without a copy; valid while this snapshot,
    // or a copy of it, lives.
    StoredText stored() const;
    QString text(qsizetype from, qsizetype to) const;
    QString text() const { return text(0, length()); }
    QByteArray utf8(qsizetype from, qsizetype to) const;
    QByteArray utf8() const { return utf8(0, length()); }

private:
    static QAnyStringView pieceOf(const void *data, qsizetype index, qsizetype from, qsizetype to);

    struct Data
    {
        std::vector<Piece> pieces;
        std::vector<qsizetype> startOf { 0 }; // of each piece, and the end
    };
    std::shared_ptr<const Data> m_data;
};
