#include "net/FilePieces.h"

#include "text/groupedNumber.h"

#include <QFileInfo>

#include <algorithm>

bool FilePieces::open(const QString &path)
{
    m_file.close();
    m_file.setFileName(path);
    m_done = m_size = 0;
    m_error.clear();
    if (QFileInfo(path).isDir()) {
        m_error = QStringLiteral("%1 is a folder").arg(path);
        return false;
    }
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        m_error = QStringLiteral("cannot read %1: %2").arg(path, m_file.errorString());
        return false;
    }
    // A device or a pipe has no size to send against.
    if (m_file.isSequential()) {
        m_error = QStringLiteral("%1 is not a regular file").arg(path);
        m_file.close();
        return false;
    }
    m_size = m_file.size();
    return true;
}

std::optional<QByteArray> FilePieces::next(qint64 max)
{
    if (!m_error.isEmpty() || !m_file.isOpen())
        return std::nullopt;
    const qint64 wanted = std::min(std::max<qint64>(max, 0), m_size - m_done);
    QByteArray piece(wanted, Qt::Uninitialized);
    qint64 got = 0;
    // A read may return less than asked without being at the end.
    while (got < wanted) {
        const qint64 read = m_file.read(piece.data() + got, wanted - got);
        if (read < 0) {
            m_error = QStringLiteral("cannot read %1: %2")
                              .arg(m_file.fileName(), m_file.errorString());
            return std::nullopt;
        }
        if (read == 0) {
            m_error = QStringLiteral("%1 shrank to %2 bytes while it was being sent")
                              .arg(m_file.fileName(), groupedNumber(quint64(m_done + got)));
            return std::nullopt;
        }
        got += read;
    }
    m_done += got;
    return piece;
}
