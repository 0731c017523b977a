#include "field/model/TextWriter.h"

#include <QIODevice>

#include <algorithm>

TextWriter::TextWriter(TextSnapshot text, QIODevice &out)
    : m_text(std::move(text))
    , m_out(out)
{ }

TextWriter::~TextWriter() = default;

bool TextWriter::writeSlice(qsizetype units)
{
    if (!m_error.isEmpty())
        return false;
    units = std::max<qsizetype>(units, 1);
    const qsizetype needed = Utf8Encoder::maxBytes(units);
    if (needed > m_bufferSize) {
        m_buffer = std::make_unique_for_overwrite<char[]>(needed);
        m_bufferSize = needed;
    }
    m_encoder.restartAt(m_buffer.get());
    const qsizetype stop = std::min(m_text.length(), m_done + units);
    for (const QAnyStringView piece : m_text.stored().pieces(m_done, stop))
        m_encoder.piece(piece);
    if (stop == m_text.length())
        m_encoder.finish();
    const qint64 size = m_encoder.size();
    // A file system that fills up takes part of a write, and only the next
    // write says why.
    for (qint64 offset = 0; offset < size;) {
        const qint64 written = m_out.write(m_buffer.get() + offset, size - offset);
        if (written <= 0) {
            m_error = m_out.errorString();
            if (m_error.isEmpty() || m_error == QLatin1String("Unknown error"))
                m_error = QStringLiteral("the file took no more bytes");
            return false;
        }
        offset += written;
    }
    m_done = stop;
    m_bytes += size;
    return true;
}
