// A full receive log copied to another program: the real window under a
// private X server, its log filled to the brim with 100-character lines
// received over TCP, then Ctrl+A, Ctrl+C and `xclip -o` reading the clipboard
// as UTF8_STRING, at once and again a second later (when people paste). Beside
// it `cat` reads the same bytes from a file. A 5 ms precise timer records the
// longest the window's event loop was kept from turning, from the keys to the
// end of the read; a last read into a file is compared with the bytes sent.
//
//   bench_copy [--smoke] [--runs N]

#include "windowHarness.h"

#include <QClipboard>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

extern char **environ;

namespace {

constexpr qsizetype lineLength = 100;

// A private X server for this process; it tells its display number through a pipe.
class Xvfb
{
public:
    Xvfb()
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        const QByteArray fd = QByteArray::number(fds[1]);
        const char *args[] = { "Xvfb",         "-displayfd", fd.constData(), "-screen", "0",
                               "1280x1024x24", "-nolisten",  "tcp",          nullptr };
        if (posix_spawnp(&m_pid, "Xvfb", nullptr, nullptr, const_cast<char **>(args), environ) != 0)
            m_pid = 0;
        ::close(fds[1]);
        pollfd ready { fds[0], POLLIN, 0 };
        char number[16] = {};
        if (m_pid && ::poll(&ready, 1, 10000) == 1 && ::read(fds[0], number, 15) > 0)
            display = ":" + QByteArray(number).trimmed();
        ::close(fds[0]);
    }
    ~Xvfb()
    {
        if (!m_pid)
            return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    Q_DISABLE_COPY_MOVE(Xvfb)

    QByteArray display;

private:
    pid_t m_pid = 0;
};

// Lines of 100: a ten-digit serial, a space, letters, LF.
QByteArray logLines(qsizetype size)
{
    QByteArray line(lineLength, ' ');
    for (qsizetype i = 11; i < lineLength - 1; ++i)
        line[i] = char('a' + i % 26);
    line[lineLength - 1] = '\n';
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype serial = 0; serial * lineLength < size; ++serial) {
        for (qsizetype rest = serial, digit = 9; digit >= 0; --digit, rest /= 10)
            line[digit] = char('0' + rest % 10);
        std::memcpy(data.data() + serial * lineLength, line.constData(), lineLength);
    }
    return data;
}

// Connects to the port and writes all of `data`, then closes.
void sendStream(quint16 port, const QByteArray &data)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool good = ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
    for (qsizetype at = 0; good && at < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + at,
                                  size_t(std::min<qsizetype>(1 << 20, data.size() - at)));
        good = n > 0;
        at += n;
    }
    ::close(fd);
}

// The log filled over TCP from a client of the window's server role; false
// when not all of it arrived.
bool fillOverTcp(frmMain &window, const QByteArray &data)
{
    const quint16 port = bench::freePort();
    control<QLineEdit>(window, "txtLocalHostPortSet")->setText(QString::number(port));
    control<QRadioButton>(window, "optTCP")->click(); // Server is the role at first
    if (control<Winsock>(window, "Winsock")->State() != Winsock::Listening)
        return false;
    bool closed = false;
    QObject context;
    QObject::connect(control<Winsock>(window, "Winsock"), &Winsock::CloseEvent, &context,
                     [&] { closed = true; });
    std::thread sender(sendStream, port, std::cref(data));
    bench::spinUntil([&] { return closed; }, 300000);
    sender.join();
    return control<TextField>(window, "txtReceive")->length() == data.size();
}

struct Read
{
    double ms = -1; // -1: xclip failed
    double stallMs = 0;
};

// Reads the clipboard with xclip into `into`, the event loop turning meanwhile.
Read readWithXclip(bench::StallMeter &stall, const QString &into)
{
    Read read;
    QProcess xclip;
    xclip.setStandardOutputFile(into);
    QElapsedTimer timer;
    timer.start();
    xclip.start(QStringLiteral("xclip"),
                { QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard"),
                  QStringLiteral("-t"), QStringLiteral("UTF8_STRING") });
    // Waiting in the event loop, as the program does: a spinning wait would
    // take the CPU the X server and xclip need.
    QEventLoop loop;
    QObject::connect(&xclip, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&xclip, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);
    if (xclip.state() != QProcess::NotRunning)
        loop.exec();
    const bool ended = xclip.state() == QProcess::NotRunning;
    if (ended && xclip.exitStatus() == QProcess::NormalExit && xclip.exitCode() == 0)
        read.ms = timer.nsecsElapsed() / 1e6;
    stall.stop();
    read.stallMs = stall.longestStallMs();
    if (!ended) {
        xclip.kill();
        xclip.waitForFinished(5000);
    }
    return read;
}

// Lets the event loop wait, without spinning, for `ms`.
void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool sameFiles(const QString &a, const QString &b)
{
    QFile first(a);
    QFile second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly)
        || first.size() != second.size())
        return false;
    while (!first.atEnd())
        if (first.read(16 << 20) != second.read(16 << 20))
            return false;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int runs = smoke ? 1 : bench::intOption(argc, argv, "--runs", 3);
    if (QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty()) {
        std::printf("xclip is not installed\n");
        return 1;
    }
    const Xvfb xvfb;
    if (xvfb.display.isEmpty()) {
        std::printf("Xvfb did not start\n");
        return 1;
    }
    qputenv("DISPLAY", xvfb.display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    frmMain window;
    window.show();
    TextField *log = control<TextField>(window, "txtReceive");

    // As full as whole lines make it: the next one would be refused.
    const qsizetype size
            = smoke ? qsizetype(32) << 20 : TextStore::Limits {}.capacity / lineLength * lineLength;
    const QTemporaryDir dir;
    const QString sent = dir.filePath(QStringLiteral("sent"));
    const QString received = dir.filePath(QStringLiteral("received"));
    {
        const QByteArray data = logLines(size);
        QFile file(sent);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
            std::printf("could not write %s\n", qPrintable(sent));
            return 1;
        }
        QElapsedTimer fill;
        fill.start();
        if (!fillOverTcp(window, data)) {
            std::printf("the log holds %lld of %lld characters\n", qlonglong(log->length()),
                        qlonglong(size));
            return 1;
        }
        std::printf("log of %lld characters in %.1f s over TCP\n", qlonglong(log->length()),
                    bench::seconds(fill));
    }
    log->setFocus();

    QClipboard *clipboard = QGuiApplication::clipboard();
    bench::StallMeter stall;
    QList<double> copyMs;
    QList<double> atOnceMbps;
    QList<double> laterMbps;
    double longestStall = 0;
    bool readsOk = true;
    for (int i = 0; i < runs; ++i) {
        // A fresh copy each run, whose UTF-8 is not made yet.
        clipboard->clear(QClipboard::Clipboard);
        clipboard->clear(QClipboard::Selection);
        idle(200);
        stall.start();
        QElapsedTimer keys;
        keys.start();
        QTest::keyClick(log, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
        copyMs.append(keys.nsecsElapsed() / 1e6);
        const Read atOnce = readWithXclip(stall, QProcess::nullDevice());
        // People paste a second or more after they copy.
        stall.start();
        idle(1500);
        const Read later = readWithXclip(stall, QProcess::nullDevice());
        std::printf("Ctrl+A, Ctrl+C %.1f ms; xclip at once %.0f ms (longest stall %.1f ms), "
                    "1.5 s later %.0f ms (longest stall %.1f ms)\n",
                    copyMs.last(), atOnce.ms, atOnce.stallMs, later.ms, later.stallMs);
        readsOk = readsOk && atOnce.ms > 0 && later.ms > 0;
        atOnceMbps.append(atOnce.ms > 0 ? size / 1e3 / atOnce.ms : 0);
        laterMbps.append(later.ms > 0 ? size / 1e3 / later.ms : 0);
        longestStall = std::max({ longestStall, atOnce.stallMs, later.stallMs });
    }
    stall.start();
    const bool same = readWithXclip(stall, received).ms > 0 && sameFiles(sent, received);
    QFile::remove(received);

    QList<double> catMbps;
    for (int i = 0; i < runs; ++i) {
        QProcess cat;
        cat.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        cat.start(QStringLiteral("cat"), { sent });
        if (cat.waitForFinished(120000) && cat.exitCode() == 0)
            catMbps.append(size / 1e3 / (timer.nsecsElapsed() / 1e6));
    }
    std::printf("xclip read the copy at %.0f MB/s at once, %.0f MB/s later; cat %.0f MB/s; "
                "longest stall %.1f ms; the bytes read back %s\n",
                bench::median(atOnceMbps), bench::median(laterMbps), bench::median(catMbps),
                longestStall, same ? "are the bytes sent" : "DIFFER from the bytes sent");
    bench::result("copy_log_chars", double(size), "chars");
    bench::result("copy_keys_ms", bench::median(copyMs), "ms");
    bench::result("copy_read_at_once_mbps", bench::median(atOnceMbps), "MB/s");
    bench::result("copy_read_later_mbps", bench::median(laterMbps), "MB/s");
    bench::result("copy_cat_mbps", bench::median(catMbps), "MB/s");
    bench::result("copy_stall_ms", longestStall, "ms");
    bench::result("copy_ok", readsOk && same, "bool");
    return 0;
}
