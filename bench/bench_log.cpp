// The receive log on its own: what it holds, what that costs in memory, and
// what one arrival costs against the size of the log.
//
// - Capacity: the log is filled to exactly TextStore::Limits {}.capacity characters; the
//   next arrival must be refused, and every one after it until Clear.
// - Memory: the growth of the resident set while the log fills with 256 Mi
//   characters of 67-character lines, per character, for ASCII, Cyrillic and
//   CJK text; then what is still held once Clear has handed its slices back.
// - Arrivals: the log is filled to each size, then one 67-character arrival is
//   timed as the user sees it: append() and the event loop turns that
//   repaint the visible window, once for a lone arrival and once per arrival
//   in a flood (where the log shares one repaint among many). Two kinds of
//   traffic: lines (66 characters and a line break), and text that never
//   breaks its line.

#include "benchCommon.h"

#include "field/widget/TextField.h"
#include "log/ReceiveLog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

namespace {

constexpr qsizetype lineChars = 67;

QString lineOf(qsizetype serial)
{
    QString line = QStringLiteral("%1 ").arg(serial, 10, 10, QLatin1Char('0'));
    while (line.size() < lineChars - 1)
        line += QChar(char16_t(u'a' + line.size() % 26));
    return line + u'\n';
}

// `chars` characters of traffic of the given kind, starting at line `serial`.
QString traffic(bool lines, qsizetype chars, qsizetype serial)
{
    QString text;
    text.reserve(chars + lineChars);
    while (text.size() < chars) {
        QString line = lineOf(serial++);
        if (!lines)
            line.back() = u'.';
        text += line;
    }
    text.truncate(chars);
    return text;
}

// About a MiB of whole lines (or the same without breaks), appended again and
// again to fill the log fast: what is in it does not change what it costs.
QString fillBlock(bool lines)
{
    return traffic(lines, lineChars * 16384, 0);
}

// Fills the log up to `size` characters in large pieces (cheap per
// character), whole lines only, so every later arrival's line has the same
// shape. False when the log refused a piece.
bool fillTo(TextField &log, const QString &block, qsizetype size)
{
    while (log.length() < size) {
        const qsizetype want = std::min(block.size(), size - log.length());
        const qsizetype chars = std::max<qsizetype>(want / lineChars, 1) * lineChars;
        if (!log.append(chars == block.size() ? block : block.first(chars)))
            return false;
    }
    return true;
}

void spinUntilReleased(const TextField &log)
{
    QElapsedTimer timer;
    timer.start();
    while (log.store().hasMemoryToRelease() && timer.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    QApplication::processEvents();
}

// RSS per character of 256 Mi characters of lines of the given alphabet, and
// what of that growth Clear did not give back, in percent.
void memory(const char *name, QChar first, qsizetype chars)
{
    QString line;
    for (qsizetype i = 0; i < lineChars - 1; ++i)
        line += QChar(char16_t(first.unicode() + i % 26));
    line += u'\n';
    const QString block = line.repeated(16384);

    TextField log;
    log.resize(740, 370);
    log.show();
    QApplication::processEvents();
    const qint64 before = bench::residentBytes();
    while (log.length() + block.size() <= chars)
        log.append(block);
    QApplication::processEvents();
    const qint64 full = bench::residentBytes();
    const double perChar = double(full - before) / double(std::max<qsizetype>(1, log.length()));

    QElapsedTimer timer;
    timer.start();
    log.clear();
    spinUntilReleased(log);
    const double releaseMs = timer.nsecsElapsed() / 1e6;
    const qint64 cleared = bench::residentBytes();
    const double keptPct
            = 100.0 * double(cleared - before) / double(std::max<qint64>(1, full - before));
    std::printf("memory, %s: %lld chars of lines, RSS %+.1f MB, %.3f bytes per character; "
                "after Clear (all given back in %.0f ms) %+.1f MB, %.2f%% of it\n",
                name, qlonglong(chars), (full - before) / 1e6, perChar, releaseMs,
                (cleared - before) / 1e6, keptPct);
    const QByteArray key = QByteArray("log_rss_") + name;
    bench::result(key + "_bytes_per_char", perChar, "B");
    bench::result(key + "_kept_after_clear_pct", keptPct, "%");
}

// Fills a log to exactly its capacity and checks that the next arrival, and
// one after it, is refused, and that Clear takes arrivals again.
void capacity(const TextStore::Limits &limits)
{
    TextField log(limits);
    const QString block = fillBlock(true);
    QElapsedTimer timer;
    timer.start();
    while (log.length() + block.size() <= limits.capacity)
        log.append(block);
    const bool lastFits = log.append(QString(limits.capacity - log.length(), u'z'));
    const double fillS = bench::seconds(timer);
    const qsizetype full = log.length();
    const bool refused = !log.append(QStringLiteral("a"));
    const bool stillRefused = !log.append(QStringLiteral("b\n"));
    const bool unchanged = log.length() == full;
    log.clear();
    const bool takesAgain = log.append(QStringLiteral("a")) && log.length() == 1;
    std::printf("capacity: filled to %lld characters (%s) in %.1f s, %.0f MB/s; the next "
                "arrival %s, the one after %s, the log %s; after Clear an arrival %s\n",
                qlonglong(full), lastFits ? "the last piece fitted" : "the last piece was refused",
                fillS, full / 1e6 / fillS, refused ? "was refused" : "WAS TAKEN",
                stillRefused ? "too" : "WAS TAKEN", unchanged ? "unchanged" : "CHANGED",
                takesAgain ? "is taken" : "IS REFUSED");
    bench::result("log_capacity_chars", double(full), "chars");
    bench::result("log_capacity_refused", refused && stillRefused && unchanged && takesAgain,
                  "bool");
    spinUntilReleased(log);
}

struct Cost
{
    double singleUs; // a lone arrival: appendPiece and the repaint it causes
    double floodUs;  // one arrival of a flood, repaints shared as the log paces them
};

// Each arrival goes in by the log's rules: the caret to the end, the end shown.
Cost arrivalCost(ReceiveLog &receiveLog, bool lines, int arrivals)
{
    const TextField &field = *receiveLog.field();
    const auto append = [&](const QString &piece) { return receiveLog.appendArrival(piece); };
    // The first arrivals after a fill lay out and paint a new screenful.
    for (int i = 0; i < 3; ++i) {
        append(traffic(lines, lineChars, field.length() / lineChars));
        QThread::msleep(TextField::repaintIntervalMs + 2);
        QApplication::processEvents();
    }
    QList<double> single;
    for (int i = 0; i < arrivals / 4; ++i) {
        // Far enough apart that the log paints each one at once.
        QThread::msleep(TextField::repaintIntervalMs + 2);
        const QString piece = traffic(lines, lineChars, field.length() / lineChars);
        QElapsedTimer timer;
        timer.start();
        if (!append(piece))
            break;
        QApplication::processEvents();
        single.append(timer.nsecsElapsed() / 1e3);
    }
    // A flood: the event loop turns after every 32 arrivals, as it does
    // under a UDP flood; the cost is the whole burst's, per arrival.
    QList<double> flood;
    for (int burst = 0; burst < 5; ++burst) {
        QThread::msleep(TextField::repaintIntervalMs + 2);
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < arrivals; ++i) {
            if (!append(traffic(lines, lineChars, field.length() / lineChars)))
                break;
            if (i % 32 == 31)
                QApplication::processEvents();
        }
        QApplication::processEvents();
        flood.append(timer.nsecsElapsed() / 1e3 / arrivals);
    }
    return { bench::median(single), bench::median(flood) };
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int arrivals = smoke ? 32 : 320;
    TextStore::Limits limits;
    if (smoke)
        limits.capacity = qsizetype(4) << 20;
    const qsizetype oneMB = 1 << 20;

    // Memory first, while the process is fresh.
    const qsizetype memoryChars = qsizetype(smoke ? 16 : 256) << 20;
    memory("ascii", u'a', memoryChars);
    memory("cyrillic", QChar(0x0430), memoryChars);
    memory("cjk", QChar(0x4E00), memoryChars);

    capacity(limits);
    // The limits alone: what an emulator can run in a few minutes.
    if (bench::hasFlag(argc, argv, "--limits-only"))
        return 0;

    // The last size leaves room for the arrivals timed there.
    const qsizetype full = limits.capacity - qsizetype(256) * 1024;
    QList<qsizetype> sizes { 64 * 1024,  256 * 1024, oneMB,       4 * oneMB,
                             16 * oneMB, 64 * oneMB, 256 * oneMB, full };
    if (smoke)
        sizes = { 64 * 1024, oneMB, full };

    for (const bool lines : { true, false }) {
        const char *kind = lines ? "lines" : "noBreak";
        const QString block = fillBlock(lines);
        TextField log(limits);
        ReceiveLog receiveLog(&log);
        log.resize(740, 370);
        log.show();
        QApplication::processEvents();
        double atOneMB = 0;
        double atCapacity = 0;
        double floodAtOneMB = 0;
        double floodAtCapacity = 0;
        for (const qsizetype size : sizes) {
            if (!fillTo(log, block, size))
                std::printf("%s: the log refused a piece at %lld chars\n", kind,
                            qlonglong(log.length()));
            const Cost cost = arrivalCost(receiveLog, lines, arrivals);
            std::printf("%s: log %10lld chars: lone arrival %.1f us, in a flood %.1f us\n", kind,
                        qlonglong(log.length()), cost.singleUs, cost.floodUs);
            std::printf("PLOT|%s|%lld|%.3f|%.3f\n", kind, qlonglong(log.length()), cost.floodUs,
                        cost.singleUs);
            if (size == oneMB) {
                atOneMB = cost.singleUs;
                floodAtOneMB = cost.floodUs;
            }
            atCapacity = cost.singleUs;
            floodAtCapacity = cost.floodUs;
        }
        const QByteArray key = QByteArray("log_arrival_") + kind;
        bench::result(key + "_1mb_us", atOneMB, "us");
        bench::result(key + "_full_us", atCapacity, "us");
        bench::result(key + "_ratio", atCapacity / atOneMB, "x");
        bench::result(key + "_flood_1mb_us", floodAtOneMB, "us");
        bench::result(key + "_flood_full_us", floodAtCapacity, "us");
        bench::result(key + "_flood_ratio", floodAtCapacity / floodAtOneMB, "x");
        log.clear();
        spinUntilReleased(log);
    }
    return 0;
}
