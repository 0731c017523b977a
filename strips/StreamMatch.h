#pragma once

#include <QByteArray>
#include <QByteArrayMatcher>
#include <QByteArrayView>

// Counts the occurrences of a pattern in a stream given in pieces, as if the
// pieces were one text: an occurrence split between pieces counts once, in the
// piece where it ends. Occurrences are taken from the left and one that
// overlaps an occurrence already counted is not counted ("aa" in "aaa" once,
// in "aaaa" twice).
//
// Invariant: m_tail holds the last bytes seen that could still begin an
// occurrence: fewer than the pattern's length, none of them part of one
// already counted.
class StreamMatch
{
public:
    // An empty pattern matches nothing.
    explicit StreamMatch(const QByteArray &pattern = {});

    // The occurrences that end in `piece`.
    qsizetype feed(QByteArrayView piece);
    // Forgets what was seen: the next piece starts a stream of its own.
    void restart() { m_tail.clear(); }

private:
    QByteArrayMatcher m_matcher;
    qsizetype m_length;
    QByteArray m_tail;
};
