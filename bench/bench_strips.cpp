// The two strips in the real window. Send Repeatedly at 1 ms to a UDP receiver
// thread: the sends a second the receiver counted, and the longest stall of
// the window's event loop meanwhile. Reply Automatically under a UDP flood of
// matching datagrams at a fixed rate from a paced thread, which reads the
// replies on the socket it sends from: replies against datagrams sent, and
// the longest stall.

#include "loopbackDatagrams.h"
#include "windowHarness.h"

#include "tests/sendBox.h"

#include <QAction>
#include <QLabel>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

void repeatAtOneMs(frmMain &window, int seconds)
{
    quint16 port = 0;
    const int fd = bench::loopbackSocket(&port);
    std::atomic<qint64> received { 0 };
    std::atomic<bool> stop { false };
    std::thread receiver(bench::countDatagrams, fd, &received, &stop);

    control<QLineEdit>(window, "txtRemoteHostIP")->setText(QStringLiteral("127.0.0.1"));
    control<QLineEdit>(window, "txtRemoteHostPort")->setText(QString::number(port));
    control<QPushButton>(window, "cmdApply")->click();
    window.findChild<QAction *>(QStringLiteral("mnuRepeatStrip"))->trigger();
    control<QLineEdit>(window, "repeatEvery")->setText(QStringLiteral("1"));
    control<QLineEdit>(window, "repeatTimes")->setText(QStringLiteral("0"));
    auto *startStop = control<QPushButton>(window, "repeatStartStop");

    bench::StallMeter stall;
    stall.start();
    QElapsedTimer clock;
    clock.start();
    startStop->click();
    bench::spinUntil([] { return false; }, seconds * 1000);
    startStop->click();
    const double elapsed = bench::seconds(clock);
    stall.stop();
    bench::spinUntil([] { return false; }, 200); // the last datagrams land
    stop = true;
    receiver.join();
    ::close(fd);

    const QString status = control<QLabel>(window, "repeatStripStatus")->text();
    const double rate = double(received.load()) / elapsed;
    std::printf("repeat every 1 ms for %.1f s: %lld received, %.0f a second (%s), "
                "longest stall %.1f ms (own %.1f)\n",
                elapsed, qlonglong(received.load()), rate, qPrintable(status),
                stall.longestStallMs(), stall.longestOwnStallMs());
    bench::result("strips_repeat_per_s", rate, "1/s");
    bench::result("strips_repeat_stall_ms", stall.longestStallMs(), "ms");
}

// Sends "PING" datagrams to `port` at `rate` a second for `seconds` from one
// socket, paced in 1 ms steps, and counts the replies that come back to it
// until a second after the last send.
void askAtRate(quint16 port, int rate, int seconds, std::atomic<qint64> *sent,
               std::atomic<qint64> *answered)
{
    quint16 own = 0;
    const int fd = bench::loopbackSocket(&own);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char buffer[2048];
    const auto drain = [&] {
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0)
            ++*answered;
    };
    const auto start = Clock::now();
    const qint64 total = qint64(rate) * seconds;
    for (qint64 ms = 0; sent->load() < total; ++ms) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        const qint64 due = std::min(total, qint64(rate) * (ms + 1) / 1000);
        while (sent->load() < due) {
            ::sendto(fd, "xxPINGxx", 8, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            ++*sent;
        }
        drain();
    }
    const auto end = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < end && answered->load() < total) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        drain();
    }
    ::close(fd);
}

void replyToFlood(frmMain &window, int rate, int seconds)
{
    const quint16 port = control<Winsock>(window, "Winsock")->LocalPort();
    window.findChild<QAction *>(QStringLiteral("mnuReplyStrip"))->trigger();
    control<QLineEdit>(window, "replyMatch")->setText(QStringLiteral("PING"));
    control<QLineEdit>(window, "replyText")->setText(QStringLiteral("PONG"));
    control<QPushButton>(window, "replyOnOff")->click();

    bench::StallMeter stall;
    bench::LogCounter log(&window, &stall);
    log.start();
    stall.start();
    std::atomic<qint64> sent { 0 };
    std::atomic<qint64> answered { 0 };
    std::atomic<bool> done { false };
    std::thread asker([&] {
        askAtRate(port, rate, seconds, &sent, &answered);
        done = true;
    });
    bench::spinUntil([&] { return done.load(); }, (seconds + 30) * 1000);
    stall.stop();
    log.stop();
    asker.join();
    bench::spinUntil([] { return false; }, 200); // the count is shown in 100 ms

    const QString status = control<QLabel>(window, "replyStripStatus")->text();
    const double pct = sent.load() > 0 ? 100.0 * double(answered.load()) / double(sent.load()) : 0;
    std::printf("reply to %d matching datagrams a second for %d s: %lld sent, %lld answered "
                "(%.2f%%, %s), longest stall %.1f ms (own %.1f)\n",
                rate, seconds, qlonglong(sent.load()), qlonglong(answered.load()), pct,
                qPrintable(status), stall.longestStallMs(), stall.longestOwnStallMs());
    bench::result("strips_reply_answered_pct", pct, "%");
    bench::result("strips_reply_stall_ms", stall.longestStallMs(), "ms");
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int seconds = smoke ? 1 : 10;

    frmMain window;
    window.show();
    control<QLineEdit>(window, "txtLocalHostPortSet")->setText(QString::number(bench::freePort()));
    control<QPushButton>(window, "cmdApply")->click();
    setSendText(window, QStringLiteral("poll\r\n"));
    repeatAtOneMs(window, seconds);
    replyToFlood(window, smoke ? 1000 : 10000, seconds);
    return 0;
}
