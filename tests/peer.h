#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTest>

// How long one awaited event (a connection, a datagram, a process ending) may
// take before a test gives up on it. Nothing waits for time itself.
constexpr int peerWaitMs = 10000;

#define REQUIRE_TOOL(tool) \
    do { \
        if (!Peer::available(QStringLiteral(tool))) \
            QSKIP(tool " is not installed"); \
    } while (false)

// A real network peer (socat or ncat) run as a child process. Its output is
// gathered whenever it is asked for, so tests can wait on it with QTRY_*.
class Peer
{
    Q_DISABLE_COPY_MOVE(Peer)

public:
    Peer() = default;
    ~Peer() { stop(); }

    static bool available(const QString &tool)
    {
        return !QStandardPaths::findExecutable(tool).isEmpty();
    }

    bool start(const QString &tool, const QStringList &arguments)
    {
        m_process.start(QStandardPaths::findExecutable(tool), arguments);
        return m_process.waitForStarted(peerWaitMs);
    }

    // Runs a one-shot command to its end; true when it succeeded.
    bool run(const QString &tool, const QStringList &arguments)
    {
        return start(tool, arguments) && m_process.waitForFinished(peerWaitMs)
               && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    void write(const QByteArray &bytes) { m_process.write(bytes); }
    void closeInput() { m_process.closeWriteChannel(); }

    QByteArray output()
    {
        m_output += m_process.readAllStandardOutput();
        return m_output;
    }

    QString messages()
    {
        m_messages += m_process.readAllStandardError();
        return QString::fromUtf8(m_messages);
    }

    bool hasEnded() const { return m_process.state() == QProcess::NotRunning; }
    int exitCode() const { return m_process.exitCode(); }

    // The number captured by `pattern` in the peer's messages, or -1.
    int numberIn(const QString &pattern)
    {
        const QRegularExpressionMatch match = QRegularExpression(pattern).match(messages());
        return match.hasMatch() ? match.captured(1).toInt() : -1;
    }

    // socat -d -d: which local port a TCP client connected from, and which
    // remote port a TCP listener accepted.
    int socatClientPort()
    {
        return numberIn(QStringLiteral("connected from local address AF=2 127\\.0\\.0\\.1:(\\d+)"));
    }
    int socatAcceptedPort()
    {
        return numberIn(QStringLiteral("accepting connection from AF=2 127\\.0\\.0\\.1:(\\d+)"));
    }

    void stop()
    {
        if (hasEnded())
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(peerWaitMs)) {
            m_process.kill();
            m_process.waitForFinished(peerWaitMs);
        }
    }

private:
    QProcess m_process;
    QByteArray m_output;
    QByteArray m_messages;
};

// What the hex records of a receive log hold: the bytes, read back from the
// cells, and the sum of the counts the headers announce.
struct HexRecords
{
    QByteArray bytes;
    qint64 announced = 0;
    int records = 0;
};

// `log` is the log's plain text (one line per CR LF); `prefix` is the header
// start, "UDP IN  (" or "TCP IN  (".
inline HexRecords readHexRecords(const QString &log, QStringView prefix)
{
    HexRecords result;
    const QStringList lines = log.split(u'\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        QStringView cells = line;
        if (line.startsWith(prefix)) {
            const qsizetype close = line.indexOf(u')');
            if (close < 0 || !line.sliced(close).startsWith(u") : "))
                return {};
            const QString count = line.sliced(prefix.size(), close - prefix.size());
            result.announced += count.toLongLong(nullptr, 16);
            ++result.records;
            cells = QStringView(line).sliced(close + 4);
        }
        result.bytes += QByteArray::fromHex(cells.toLatin1());
    }
    return result;
}
