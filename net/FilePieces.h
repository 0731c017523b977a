#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <optional>

// A file read from the start in pieces, as a send hands them on: at most one
// piece of it is in memory here, whatever its size. The file's size is taken
// when it opens, and that many bytes are what it holds: bytes it gains later
// are not read, and a file found shorter than that (truncated meanwhile) fails
// rather than sending less than it said.
//
// Invariants: 0 <= done() <= size(); once failed, error() says why and no
// more pieces come.
class FilePieces final
{
    Q_DISABLE_COPY_MOVE(FilePieces)

public:
    FilePieces() = default;

    // False with error() saying why when it cannot be read.
    bool open(const QString &path);
    void close() { m_file.close(); }
    qint64 size() const { return m_size; }
    qint64 done() const { return m_done; }
    bool atEnd() const { return m_done == m_size; }
    QString error() const { return m_error; }

    // The next at most `max` bytes (never more than the rest); none when the
    // file can no longer be read or has shrunk, error() saying which.
    std::optional<QByteArray> next(qint64 max);

private:
    QFile m_file;
    qint64 m_size = 0;
    qint64 m_done = 0;
    QString m_error;
};
