// Throughput of the hex record builder against xxd on the same bytes: random
// data cut into arrivals of 65,535 bytes, each turned into one record, as the
// window does for a fast TCP stream in hex mode.

#include "benchCommon.h"

#include "text/hexRecord.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cstdio>

namespace {

double builderSeconds(const QByteArray &data, qsizetype arrival)
{
    QElapsedTimer timer;
    timer.start();
    qsizetype sink = 0;
    QByteArray record; // reused, as the window does
    for (qsizetype at = 0; at < data.size(); at += arrival) {
        const QByteArrayView piece
                = QByteArrayView(data).sliced(at, std::min(arrival, data.size() - at));
        if (buildHexRecordLatin1(HexTransport::Tcp, piece, record))
            sink += record.size();
    }
    const double elapsed = bench::seconds(timer);
    if (sink == 0)
        std::printf("nothing built\n");
    return elapsed;
}

// xxd from the file to /dev/null; negative when it cannot run.
double xxdSeconds(const QString &xxd, const QString &file)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(xxd, { file });
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        return -1;
    return bench::seconds(timer);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool smoke = bench::hasFlag(argc, argv, "--smoke");
    const qsizetype size = qsizetype(smoke ? 1 : 64) << 20;
    const int runs = smoke ? 1 : bench::intOption(argc, argv, "--runs", 5);
    constexpr qsizetype arrival = maxHexRecordBytes;

    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(20240601);
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);

    QTemporaryFile file;
    if (!file.open() || file.write(data) != size || !file.flush())
        return 1;
    const QString xxd = QStandardPaths::findExecutable(QStringLiteral("xxd"));

    QList<double> ours;
    QList<double> peer;
    for (int run = 0; run < runs; ++run) {
        ours.append(size / 1e6 / builderSeconds(data, arrival));
        if (!xxd.isEmpty()) {
            const double s = xxdSeconds(xxd, file.fileName());
            if (s > 0)
                peer.append(size / 1e6 / s);
        }
    }
    const double oursMBps = bench::median(ours);
    std::printf("buildHexRecord: %.1f MB/s of input (median of %d)\n", oursMBps, runs);
    bench::result("hex_builder_mbps", oursMBps, "MB/s");
    if (!peer.isEmpty()) {
        const double peerMBps = bench::median(peer);
        std::printf("xxd: %.1f MB/s of input, ratio %.1f\n", peerMBps, oursMBps / peerMBps);
        bench::result("hex_xxd_mbps", peerMBps, "MB/s");
        bench::result("hex_ratio", oursMBps / peerMBps, "x");
    } else {
        std::printf("xxd is not installed: no peer figure\n");
    }
    return 0;
}
