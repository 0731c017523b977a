// The real window with a full receive log (1 Gi characters of 67-character
// lines, less 1 Mi for arrivals), saved with Ctrl+S to a file on the local
// disk (the dialog answered at once), while a line arrives every millisecond:
// the time from the key to the save's end, the longest stall of the event
// loop meanwhile, the arrivals taken meanwhile; then `cp` of the saved file
// (and `cp` followed by `sync` of the copy) in the same run.
//   bench_save [--smoke] [--runs N] [--dir FOLDER]

#include "log/LogSave.h"
#include "windowHarness.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <cstdio>

namespace {

double timedProcess(const QString &program, const QStringList &arguments)
{
    QElapsedTimer timer;
    timer.start();
    const int status = QProcess::execute(program, arguments);
    const double seconds = bench::seconds(timer);
    return status == 0 ? seconds : -1;
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
    QString line(66, u'x');
    line += u'\n';
    const QString block = line.repeated(16384);
    const qsizetype fillTo
            = smoke ? qsizetype(4) << 20 : TextStore::Limits {}.capacity - (qsizetype(1) << 20);
    while (log->length() + block.size() <= fillTo)
        log->append(block);
    while (log->length() + line.size() <= fillTo)
        log->append(line);
    std::printf("log of %lld characters, saved to %s\n", qlonglong(log->length()),
                qPrintable(folder));
    bench::result("save_log_chars", double(log->length()), "chars");

    const QString saved = folder + QStringLiteral("/bench-save.log");
    const QString copy = folder + QStringLiteral("/bench-save-copy.log");
    QList<double> windowMbps, cpMbps, cpSyncMbps;
    double longestStall = 0;
    qint64 arrivals = 0;
    bool ok = true;
    const QString arrival = QStringLiteral("an arrival during the save\n");
    for (int run = 0; run < runs; ++run) {
        QFile::remove(saved);
        QFile::remove(copy);
        const qsizetype length = log->length();
        const QByteArray head = log->textBetween(0, 1 << 20).toLatin1();
        const QByteArray tail = log->textBetween(length - (1 << 20), length).toLatin1();

        bench::StallMeter stall;
        QTimer arrivalTimer;
        arrivalTimer.setTimerType(Qt::PreciseTimer);
        arrivalTimer.setInterval(1);
        qint64 taken = 0;
        QObject::connect(&arrivalTimer, &QTimer::timeout, &window,
                         [&] { taken += log->append(arrival) ? 1 : 0; });
        QTimer::singleShot(0, &window, [&] {
            if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                dialog->selectFile(saved);
                static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
            }
        });
        log->setFocus();
        QElapsedTimer timer;
        timer.start();
        QTest::keyClick(log, Qt::Key_S, Qt::ControlModifier);
        stall.start();
        arrivalTimer.start();
        // The save is over once it has let go of itself.
        bench::spinUntil([&] { return window.findChild<LogSave *>() == nullptr; }, 120000);
        const double seconds = bench::seconds(timer);
        arrivalTimer.stop();
        stall.stop();

        QFile file(saved);
        const bool whole = file.size() == length && file.open(QIODevice::ReadOnly)
                           && file.read(1 << 20) == head && file.seek(length - (1 << 20))
                           && file.read(1 << 20) == tail;
        ok = ok && whole && panelText(window, 1).isEmpty();
        file.close();
        const double mb = length / 1e6;
        windowMbps.append(mb / seconds);
        longestStall = std::max(longestStall, stall.longestStallMs());
        arrivals += taken;

        QProcess::execute(QStringLiteral("sync"), {});
        const double cpSeconds = timedProcess(QStringLiteral("cp"), { saved, copy });
        QFile::remove(copy);
        QProcess::execute(QStringLiteral("sync"), {});
        const double cpSyncSeconds = timedProcess(
                QStringLiteral("sh"),
                { "-c", QStringLiteral("cp '%1' '%2' && sync '%2'").arg(saved, copy) });
        cpMbps.append(mb / cpSeconds);
        cpSyncMbps.append(mb / cpSyncSeconds);
        std::printf("run %d: save %.2f s (%.0f MB/s), %s; longest stall %.1f ms; %lld arrivals "
                    "taken meanwhile; cp %.0f MB/s, cp+sync %.0f MB/s\n",
                    run + 1, seconds, mb / seconds, whole ? "file whole" : "FILE WRONG",
                    stall.longestStallMs(), qlonglong(taken), mb / cpSeconds, mb / cpSyncSeconds);
        QFile::remove(saved);
        QFile::remove(copy);
        // The arrivals go, so that every run saves the same log.
        log->setSelection(length, log->length());
        QTest::keyClick(log, Qt::Key_Delete);
    }
    bench::result("save_window_mbps", bench::median(windowMbps), "MB/s");
    bench::result("save_cp_mbps", bench::median(cpMbps), "MB/s");
    bench::result("save_cp_sync_mbps", bench::median(cpSyncMbps), "MB/s");
    bench::result("save_ratio", bench::median(windowMbps) / bench::median(cpMbps), "");
    bench::result("save_stall_ms", longestStall, "ms");
    bench::result("save_arrivals", double(arrivals), "arrivals");
    bench::result("save_ok", ok ? 1 : 0, "");
    return ok ? 0 : 1;
}
