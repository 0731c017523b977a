#pragma once

#include <QAnyStringView>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <iterator>

// A text as a TextStore or a TextSnapshot keeps it: runs of units in order,
// each Latin-1 or UTF-16 as it is stored, read where they lie with no copy.
// It is the one way anything walks stored text: the search, the encoders,
// the hex reading of the send box.
//
//     for (QAnyStringView piece : snapshot.stored().pieces(from, to)) ...
//
// It holds no storage: a store's is valid until the store next changes, a
// snapshot's as long as a copy of that snapshot lives. It is a few words,
// copied freely, and its pieces are as cheap as a loop over an array.
//
// Invariants: m_startOf has m_count + 1 entries, rising from 0 (each piece
// holds at least one unit), the last being length(); m_pieceAt(text, i, a, b)
// gives units [a, b) of piece i for 0 <= a <= b <= its size.
class StoredText
{
public:
    // Units [from, to) of piece `index` of `text`, as they are kept.
    using PieceAt
            = QAnyStringView (*)(const void *text, qsizetype index, qsizetype from, qsizetype to);

    StoredText() = default; // no text
    StoredText(const void *text, PieceAt pieceAt, const qsizetype *startOf, qsizetype count)
        : m_text(text)
        , m_pieceAt(pieceAt)
        , m_startOf(startOf)
        , m_count(count)
    { }

    qsizetype length() const { return m_startOf[m_count]; }
    bool isEmpty() const { return length() == 0; }

    class Pieces;
    // The stored runs of [from, to) in order, none empty; positions are
    // clamped to the text.
    Pieces pieces(qsizetype from, qsizetype to) const;
    Pieces pieces() const;
    // The unit at `position`; 0 outside the text.
    char16_t unit(qsizetype position) const;

private:
    // The piece that holds `position`, which is in the text.
    qsizetype pieceIndex(qsizetype position) const
    {
        return std::upper_bound(m_startOf, m_startOf + m_count, position) - m_startOf - 1;
    }

    static constexpr qsizetype noPieces[1] = { 0 };

    const void *m_text = nullptr;
    PieceAt m_pieceAt = nullptr;
    const qsizetype *m_startOf = noPieces;
    qsizetype m_count = 0;
};

class StoredText::Pieces
{
public:
    // Stands at the piece that holds m_from; at the end once m_from == m_to.
    class Iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = QAnyStringView;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = QAnyStringView;

        Iterator() = default;
        QAnyStringView operator*() const
        {
            const qsizetype start = m_text.m_startOf[m_index];
            const qsizetype end = std::min(m_to, m_text.m_startOf[m_index + 1]);
            return m_text.m_pieceAt(m_text.m_text, m_index, m_from - start, end - start);
        }
        Iterator &operator++()
        {
            m_from = std::min(m_to, m_text.m_startOf[++m_index]);
            return *this;
        }
        Iterator operator++(int)
        {
            Iterator before = *this;
            ++*this;
            return before;
        }
        // Iterators of one range differ by where they stand.
        bool operator==(const Iterator &other) const { return m_from == other.m_from; }
        // The text position of the piece's first unit.
        qsizetype position() const { return m_from; }

    private:
        friend class Pieces;
        friend class StoredText;
        Iterator(const StoredText &text, qsizetype index, qsizetype from, qsizetype to)
            : m_text(text)
            , m_index(index)
            , m_from(from)
            , m_to(to)
        { }

        StoredText m_text;
        qsizetype m_index = 0;
        qsizetype m_from = 0;
        qsizetype m_to = 0;
    };

    Iterator begin() const { return m_begin; }
    Iterator end() const { return Iterator(m_begin.m_text, 0, m_begin.m_to, m_begin.m_to); }
    bool empty() const { return m_begin.m_from == m_begin.m_to; }

private:
    friend class StoredText;
    explicit Pieces(const Iterator &begin)
        : m_begin(begin)
    { }

    Iterator m_begin;
};

inline StoredText::Pieces StoredText::pieces(qsizetype from, qsizetype to) const
{
    from = std::clamp<qsizetype>(from, 0, length());
    to = std::clamp<qsizetype>(to, from, length());
    return Pieces(Pieces::Iterator(*this, from < to ? pieceIndex(from) : 0, from, to));
}

inline StoredText::Pieces StoredText::pieces() const
{
    return pieces(0, length());
}

inline char16_t StoredText::unit(qsizetype position) const
{
    if (position < 0 || position >= length())
        return 0;
    const qsizetype index = pieceIndex(position);
    const qsizetype offset = position - m_startOf[index];
    return m_pieceAt(m_text, index, offset, offset + 1).front().unicode();
}
