// Cost of one arrival in the receive log against the size of the log, and the
// memory the log takes per MB of text.
//
// An arrival is measured as the user sees it: appendPiece() and the event loop
// turns that repaint the visible window, once for a lone arrival and once per
// arrival in a flood (where the log shares one repaint among many). Two kinds
// of traffic: lines of 67 characters (66 and a line break), and text that
// never breaks its line.

#include "benchCommon.h"

#include "data/LogView.h"

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

// Fills the log up to `size` characters in large pieces (cheap per character).
void fillTo(LogView &log, bool lines, qsizetype size)
{
    constexpr qsizetype piece = 1 << 20;
    while (log.length() < size) {
        const qsizetype want = std::min(piece, size - log.length());
        // Whole lines keep every later arrival's line the same shape.
        const qsizetype chars = lines ? std::max<qsizetype>(want / lineChars, 1) * lineChars : want;
        if (!log.appendPiece(traffic(lines, chars, log.length() / lineChars)))
            return;
    }
}

struct Cost
{
    double singleUs; // a lone arrival: appendPiece and the repaint it causes
    double floodUs;  // one arrival of a flood, repaints shared as the log paces them
};

Cost arrivalCost(LogView &log, bool lines, int arrivals)
{
    // The first arrivals after a fill lay out and paint a new screenful.
    for (int i = 0; i < 3; ++i) {
        log.appendPiece(traffic(lines, lineChars, log.length() / lineChars));
        QThread::msleep(LogView::repaintIntervalMs + 2);
        QApplication::processEvents();
    }
    QList<double> single;
    for (int i = 0; i < arrivals / 4; ++i) {
        // Far enough apart that the log paints each one at once.
        QThread::msleep(LogView::repaintIntervalMs + 2);
        const QString piece = traffic(lines, lineChars, log.length() / lineChars);
        QElapsedTimer timer;
        timer.start();
        if (!log.appendPiece(piece))
            break;
        QApplication::processEvents();
        single.append(timer.nsecsElapsed() / 1e3);
    }
    // A flood: the event loop turns after every 32 arrivals, as it does
    // under a UDP flood; the cost is the whole burst's, per arrival.
    QList<double> flood;
    for (int burst = 0; burst < 5; ++burst) {
        QThread::msleep(LogView::repaintIntervalMs + 2);
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < arrivals; ++i) {
            if (!log.appendPiece(traffic(lines, lineChars, log.length() / lineChars)))
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
    const qsizetype capacity = smoke ? 2 << 20 : LogView::capacity;
    const qsizetype oneMB = 1 << 20;

    // Memory first, in a fresh process: the growth of the resident set while
    // the log fills with lines, per MB of text.
    {
        LogView log;
        log.resize(740, 370);
        log.show();
        QApplication::processEvents();
        const qint64 before = bench::residentBytes();
        fillTo(log, true, capacity - 64 * 1024);
        QApplication::processEvents();
        const qint64 after = bench::residentBytes();
        const double perMB = double(after - before) / double(log.length());
        std::printf("memory: %lld chars of lines, RSS %+.1f MB, %.2f MB per MB of text\n",
                    qlonglong(log.length()), (after - before) / 1e6, perMB);
        bench::result("log_rss_per_mb", perMB, "MB/MB");
    }

    QList<qsizetype> sizes { 64 * 1024, 256 * 1024, oneMB, 2 * oneMB, 4 * oneMB, 8 * oneMB };
    if (!smoke)
        sizes.append(capacity - 64 * 1024);
    else
        sizes = { 64 * 1024, oneMB, capacity - 64 * 1024 };

    for (const bool lines : { true, false }) {
        const char *kind = lines ? "lines" : "noBreak";
        LogView log;
        log.resize(740, 370);
        log.show();
        QApplication::processEvents();
        double atOneMB = 0;
        double atCapacity = 0;
        double floodAtOneMB = 0;
        double floodAtCapacity = 0;
        for (const qsizetype size : sizes) {
            fillTo(log, lines, size);
            const Cost cost = arrivalCost(log, lines, arrivals);
            std::printf("%s: log %8lld chars: lone arrival %.1f us, in a flood %.1f us\n", kind,
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
    }
    return 0;
}
