// The real window with a full receive log (1 Gi characters of varied log
// lines, less 1 Mi for arrivals) in which a word first appears in the last
// megabyte: Ctrl+F, the word typed, Enter with the caret at the top, timed to
// the match being selected, with the longest stall of the event loop
// meanwhile and a line arriving every millisecond. Then the search alone over
// a snapshot, case ignored and case counting; then `grep -F -b -m 1` of the
// same text saved to a file (read from the page cache), in the same run.
//   bench_find [--smoke] [--runs N] [--dir FOLDER]

#include "windowHarness.h"

#include "field/model/TextSearch.h"
#include "field/model/TextSnapshot.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <cstdio>

namespace {

// Lines such as a log of a link holds: every one has "payload", so the word
// sought ("payloads") starts a partial match on each of them.
QString logLines(int count, int seed)
{
    static const char *const words[] = { "hello", "status", "ping", "pong", "ready", "value" };
    QString lines;
    for (int i = 0; i < count; ++i) {
        const int n = seed * count + i;
        lines += QStringLiteral(
                         "2026-12-09 02:%1:%2.%3 UDP IN 192.168.1.%4:1001 seq %5 payload %6\r\n")
                         .arg(n / 60 % 60, 2, 10, QLatin1Char('0'))
                         .arg(n % 60, 2, 10, QLatin1Char('0'))
                         .arg(n * 7 % 1000, 3, 10, QLatin1Char('0'))
                         .arg(n % 250 + 1)
                         .arg(n, 8, 10, QLatin1Char('0'))
                         .arg(QLatin1StringView(words[n % 6]));
    }
    return lines;
}

// `grep -F -b -m 1` of the word in the file: its seconds and the byte offset
// it printed, or -1.
double timedGrep(const QString &word, const QString &path, qint64 &offset)
{
    QProcess grep;
    QElapsedTimer timer;
    timer.start();
    grep.start(QStringLiteral("grep"), { "-F", "-b", "-o", "-m", "1", word, path });
    grep.waitForFinished(-1);
    const double seconds = bench::seconds(timer);
    const QByteArray out = grep.readAllStandardOutput();
    offset = out.isEmpty() ? -1 : out.left(out.indexOf(':')).toLongLong();
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const int runs = smoke ? 1 : bench::intOption(argc, argv, "--runs", 3);
    const QString folder = bench::stringOption(argc, argv, "--dir", QDir::currentPath());

    frmMain window;
    window.show();
    TextField *log = control<TextField>(window, "txtReceive");
    const QString word = QStringLiteral("payloads");
    const qsizetype fillTo
            = smoke ? qsizetype(4) << 20 : TextStore::Limits {}.capacity - (qsizetype(1) << 20);
    const qsizetype wordFrom = fillTo - (qsizetype(1) << 19);
    QString block;
    for (int seed = 0; block.size() < (1 << 22); ++seed)
        block += logLines(64, seed);
    while (log->length() + block.size() <= wordFrom)
        log->append(block);
    const QString line = logLines(1, 7);
    while (log->length() + line.size() <= wordFrom)
        log->append(line);
    const QString wordLine = QStringLiteral("2026-12-09 03:00:00.000 UDP IN seq 1 PAYLOADS 2\r\n");
    const qsizetype expected = log->length() + wordLine.indexOf(u"PAYLOADS");
    log->append(wordLine);
    while (log->length() + line.size() <= fillTo)
        log->append(line);
    std::printf("log of %lld characters; \"%s\" first at %lld\n", qlonglong(log->length()),
                qPrintable(word), qlonglong(expected));
    bench::result("find_log_chars", double(log->length()), "chars");

    // The same text in a file, for grep.
    const QString path = folder + QStringLiteral("/bench-find.log");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        const TextSnapshot snapshot = log->store().snapshot();
        for (const QAnyStringView piece : snapshot.stored().pieces()) {
            const QByteArray bytes = piece.toString().toLatin1();
            if (file.write(bytes) != bytes.size())
                break;
        }
    }

    QList<double> windowMs, engineMs, engineCaseMs, grepMs;
    double longestStall = 0;
    bool ok = true;
    const QString arrival = QStringLiteral("an arrival during the search\r\n");
    log->setFocus();
    QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
    auto *findText = control<QLineEdit>(window, "findText");
    QTest::keyClicks(findText, word);
    for (int run = 0; run < runs; ++run) {
        log->setSelection(0, 0);
        bench::spinUntil([] { return false; }, 50);
        bench::StallMeter stall;
        QElapsedTimer timer;
        bool found = false;
        double ms = 0;
        qint64 taken = 0;
        QTimer arrivalTimer;
        // An arrival puts the caret at the end, so the match is looked for
        // before each one.
        const auto selected = [&] {
            if (!found && log->selectionStart() == expected
                && log->selectionEnd() == expected + word.size()) {
                found = true;
                ms = timer.nsecsElapsed() / 1e6;
                arrivalTimer.stop();
            }
            return found;
        };
        arrivalTimer.setTimerType(Qt::PreciseTimer);
        arrivalTimer.setInterval(1);
        QObject::connect(&arrivalTimer, &QTimer::timeout, &window, [&] {
            if (!selected())
                taken += log->append(arrival) ? 1 : 0;
        });
        stall.start();
        arrivalTimer.start();
        timer.start();
        QTest::keyClick(findText, Qt::Key_Return);
        bench::spinUntil(selected, 60000);
        arrivalTimer.stop();
        stall.stop();
        ok = ok && found;
        windowMs.append(ms);
        longestStall = std::max(longestStall, stall.longestStallMs());

        const TextPattern ignoringCase(word, Qt::CaseInsensitive);
        const TextPattern matchingCase(wordLine.mid(wordLine.indexOf(u"PAYLOADS"), 8),
                                       Qt::CaseSensitive);
        const TextSnapshot snapshot = log->store().snapshot();
        timer.start();
        const SearchOutcome loose
                = findNearest(searchedText(snapshot), ignoringCase, 0, SearchDirection::Forward);
        engineMs.append(timer.nsecsElapsed() / 1e6);
        timer.start();
        const SearchOutcome strict
                = findNearest(searchedText(snapshot), matchingCase, 0, SearchDirection::Forward);
        engineCaseMs.append(timer.nsecsElapsed() / 1e6);
        ok = ok && loose.start == expected && strict.start == expected;

        qint64 offset = -1;
        timedGrep(word.toUpper(), path, offset); // into the page cache
        grepMs.append(timedGrep(word.toUpper(), path, offset) * 1000);
        ok = ok && offset == expected;
        std::printf(
                "run %d: window %.0f ms (%s, %lld arrivals meanwhile), longest stall %.1f ms; "
                "search alone %.0f ms (case ignored), %.0f ms (case counts); grep -F -b %.0f ms "
                "(offset %lld)\n",
                run + 1, ms, found ? "selected" : "NOT SELECTED", qlonglong(taken),
                stall.longestStallMs(), engineMs.last(), engineCaseMs.last(), grepMs.last(),
                qlonglong(offset));
        // The arrivals go, so that every run searches the same log.
        log->setSelection(fillTo, log->length());
        QTest::keyClick(log, Qt::Key_Delete);
    }
    QFile::remove(path);
    bench::result("find_window_ms", bench::median(windowMs), "ms");
    bench::result("find_engine_ms", bench::median(engineMs), "ms");
    bench::result("find_engine_case_ms", bench::median(engineCaseMs), "ms");
    bench::result("find_grep_ms", bench::median(grepMs), "ms");
    bench::result("find_ratio", bench::median(windowMs) / bench::median(grepMs), "");
    bench::result("find_stall_ms", longestStall, "ms");
    bench::result("find_ok", ok ? 1 : 0, "");
    return ok ? 0 : 1;
}
