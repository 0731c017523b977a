#pragma once

#include <QString>

#include <memory>

class QIODevice;
class TextStore;

// Writes the first `end` units of a TextStore as UTF-8 to a device, a slice at
// a time, straight from the store's chunks: Latin-1 chunks take two bytes
// above U+007F, UTF-16 chunks are encoded as they are, and no UTF-16 copy of
// the text is ever made. Every unit goes out as it is, NUL, CR and LF
// included. A surrogate pair becomes its one character also where a chunk or
// a slice falls between its halves; a lone surrogate, which UTF-8 cannot
// hold, becomes U+FFFD.
//
// The store is read afresh for every slice, so text appended after `end`
// between slices does no harm; a change to the first `end` units would.
class TextWriter final
{
public:
    TextWriter(const TextStore &text, qsizetype end, QIODevice &out);
    ~TextWriter();
    Q_DISABLE_COPY_MOVE(TextWriter)

    // Encodes and writes about `units` more units, at least one. False, with
    // errorString() saying why, once a write has failed.
    bool writeSlice(qsizetype units);
    bool atEnd() const { return m_done >= m_end; }
    qsizetype done() const { return m_done; }
    qsizetype end() const { return m_end; }
    qint64 bytesWritten() const { return m_bytes; }
    QString errorString() const { return m_error; }

private:
    const TextStore &m_text;
    QIODevice &m_out;
    qsizetype m_end;
    qsizetype m_done = 0;
    qint64 m_bytes = 0;
    QString m_error;
    std::unique_ptr<char[]> m_buffer; // the encoded slice
    qsizetype m_bufferSize = 0;
};
