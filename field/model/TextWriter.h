#pragma once

#include "field/model/TextSnapshot.h"
#include "field/model/Utf8Encoder.h"

#include <QString>

#include <memory>

class QIODevice;

// Writes a snapshot of a text as UTF-8 to a device, a slice at a time, as
// Utf8Encoder makes it straight from the stored pieces: no UTF-16 copy of the
// text is ever made. The snapshot does not change whatever happens to the
// store meanwhile, so a writer may run on a thread of its own.
class TextWriter final
{
public:
    TextWriter(TextSnapshot text, QIODevice &out);
    ~TextWriter();
    Q_DISABLE_COPY_MOVE(TextWriter)

    // Encodes and writes about `units` more units, at least one. False, with
    // errorString() saying why, once a write has failed.
    bool writeSlice(qsizetype units);
    bool atEnd() const { return m_done >= m_text.length(); }
    qsizetype done() const { return m_done; }
    qsizetype end() const { return m_text.length(); }
    qint64 bytesWritten() const { return m_bytes; }
    QString errorString() const { return m_error; }

private:
    TextSnapshot m_text;
    QIODevice &m_out;
    Utf8Encoder m_encoder;
    qsizetype m_done = 0;
    qint64 m_bytes = 0;
    QString m_error;
    std::unique_ptr<char[]> m_buffer; // the encoded slice
    qsizetype m_bufferSize = 0;
};
