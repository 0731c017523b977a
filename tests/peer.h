#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTest>

#include <algorithm>

// How long one awaited event (a connection, a datagram, a process ending) may
// take before a test gives up on it. Nothing waits for time itself.
constexpr int peerWaitMs = 10000;

// The peers are the host's programs. A Windows build's tests, run under Wine,
// leave them out: Wine starts them, but neither hands them Windows paths nor
// stops them; the endpoint's own suite covers those sockets with Qt peers.
#if defined(_WIN32)
#define REQUIRE_TOOL(tool) QSKIP(tool " is a host program, which Windows tests do not start")
#else
#define REQUIRE_TOOL(tool) \
    do { \
        if (!Peer::available(QStringLiteral(tool))) \
            QSKIP(tool " is not installed"); \
    } while (false)
#endif

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
// cells, the sum of the counts the headers announce, and the first place the
// log departs from the record layout (empty when it never does).
struct HexRecords
{
    QByteArray bytes;
    qint64 announced = 0;
    int records = 0;
    QString fault;
};

// `log` is the log's plain text, nothing but records; `prefix` is the header
// start, "UDP IN  (" or "TCP IN  (". Every record must have the exact layout:
// a 17-character header with a four-digit count, lines of 16 cells but the
// last, continuation lines indented by 17 spaces, CR LF after every line.
inline HexRecords readHexRecords(const QString &log, QStringView prefix)
{
    HexRecords result;
    const QStringList lines = log.split(QStringLiteral("\r\n"));
    const auto isHex = [](QChar c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); };
    qint64 cellsToCome = 0; // of the record under way
    for (qsizetype i = 0; i < lines.size() && result.fault.isEmpty(); ++i) {
        const QString &line = lines.at(i);
        const auto fault = [&](const char *why) {
            result.fault = QStringLiteral("line %1: %2: \"%3\"")
                                   .arg(i + 1)
                                   .arg(QLatin1StringView(why), line.left(60));
        };
        if (i == lines.size() - 1) {
            if (!line.isEmpty() || cellsToCome != 0)
                fault("the log does not end with a whole record");
            break;
        }
        QStringView cells;
        if (cellsToCome == 0) {
            const QStringView count = QStringView(line).mid(prefix.size(), 4);
            if (!line.startsWith(prefix) || count.size() != 4
                || !std::all_of(count.begin(), count.end(), isHex)
                || QStringView(line).mid(prefix.size() + 4, 4) != u") : ") {
                fault("not a header with a four-digit count");
                break;
            }
            cellsToCome = count.toInt(nullptr, 16);
            result.announced += cellsToCome;
            ++result.records;
            cells = QStringView(line).sliced(17);
        } else {
            if (line.size() < 18 || QStringView(line).first(17) != QString(17, u' ')
                || line.at(17) == u' ') {
                fault("a continuation line not indented by exactly 17 spaces");
                break;
            }
            cells = QStringView(line).sliced(17);
        }
        const qsizetype count = cells.size() / 3;
        if (cells.size() % 3 != 0 || count > 16 || count > cellsToCome
            || (count < 16 && count != cellsToCome)) {
            fault("a line without the cells its record needs");
            break;
        }
        for (qsizetype c = 0; c < count; ++c) {
            const QStringView cell = cells.sliced(3 * c, 3);
            if (!isHex(cell[0]) || !isHex(cell[1]) || cell[2] != u' ') {
                fault("a cell that is not two upper-case hex digits and a space");
                break;
            }
            result.bytes += char(cell.first(2).toInt(nullptr, 16));
        }
        cellsToCome -= count;
    }
    return result;
}
