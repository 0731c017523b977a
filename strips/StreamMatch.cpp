#include "strips/StreamMatch.h"

#include <algorithm>

StreamMatch::StreamMatch(const QByteArray &pattern)
    : m_matcher(pattern)
    , m_length(pattern.size())
{ }

qsizetype StreamMatch::feed(QByteArrayView piece)
{
    if (m_length == 0)
        return 0;
    qsizetype count = 0;
    if (piece.size() < m_length) {
        // Too short to hold an occurrence of its own: read it with the tail.
        const QByteArray seen = QByteArray(m_tail).append(piece);
        qsizetype end = 0; // of the last occurrence counted
        for (qsizetype at = 0; (at = m_matcher.indexIn(seen, at)) >= 0; at = end) {
            ++count;
            end = at + m_length;
        }
        m_tail = seen.sliced(std::max(end, seen.size() - (m_length - 1)));
        return count;
    }
    qsizetype end = 0; // in `piece`
    if (!m_tail.isEmpty()) {
        // Only one occurrence can begin in the tail, which is shorter than one.
        const QByteArray seam = QByteArray(m_tail).append(piece.first(m_length - 1));
        const qsizetype at = m_matcher.indexIn(seam);
        if (at >= 0 && at < m_tail.size()) {
            ++count;
            end = at + m_length - m_tail.size();
        }
    }
    for (qsizetype at = end; (at = m_matcher.indexIn(piece, at)) >= 0; at = end) {
        ++count;
        end = at + m_length;
    }
    m_tail = piece.sliced(std::max(end, piece.size() - (m_length - 1))).toByteArray();
    return count;
}
