// Arrival lines and captures: the pcapng blocks and packets as the format
// lays them out, the line before an arrival, and what a capture of a real TCP
// exchange with the window leaves on disk.
#include "asNobody.h"
#include "sendBox.h"
#include "windowControls.h"
#include "windowPort.h"

#include "capture/CaptureFile.h"
#include "capture/TcpFlow.h"
#include "capture/pcapng.h"
#include "field/widget/TextField.h"
#include "text/arrivalLine.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

class tst_Capture : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pcapngBlocks_data();
    void pcapngBlocks();
    void checksum_data();
    void checksum();
    void packetsAreValid_data();
    void packetsAreValid();
    void capturedPackets_data();
    void capturedPackets();
    void arrivalLines_data();
    void arrivalLines();
    void windowShowsArrivalTimes();
    void windowCapturesTcp_data();
    void windowCapturesTcp();
    void fullDiskStopsTheCapture();
};

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray pcapngPacket(quint64 microseconds, PacketDirection direction, QByteArrayView packet)
{
    QByteArray out;
    appendPcapngPacket(out, microseconds, direction, packet.first(packet.size() / 2),
                       packet.sliced(packet.size() / 2));
    return out;
}

QByteArray udpPacket(const PacketEnds &ends, const QByteArray &payload)
{
    return udpHeaders(ends, payload) + payload;
}

QByteArray whole(const TcpFlow::Packet &packet)
{
    return packet.headers + packet.payload.toByteArray();
}

// Clicks the receive log's menu item of that text; `answer` then meets the
// file dialog it may open.
void clickLogMenu(frmMain &w, const QString &text, const std::function<void()> &answer = {})
{
    auto *log = control<TextField>(w, "txtReceive");
    log->setFocus();
    QTest::keyClick(log, Qt::Key_F10, Qt::ShiftModifier);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    QVERIFY(menu);
    for (QAction *item : menu->actions()) {
        if (item->text() == text) {
            if (answer)
                QTimer::singleShot(0, &w, answer);
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
            return;
        }
    }
    QFAIL(qPrintable(QStringLiteral("no menu item ") + text));
}

void answerDialog(const QString &file, const QString &filter)
{
    auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
    QVERIFY(dialog);
    dialog->selectNameFilter(filter);
    dialog->selectFile(file);
    static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
}

WinsockTraffic record(WinsockTraffic::Kind kind, bool inbound, const char *address,
                      const QByteArray &payload, quint64 receivedBefore = 0, quint64 sentBefore = 0)
{
    return { kind, inbound, QHostAddress(address), 4000,      QHostAddress(address), 5000,
             {},   payload, receivedBefore,        sentBefore };
}

// A capture file's packets, a line each: "udp" and the payload's size, or
// TCP's flags, sequence and acknowledgement numbers (less the first sequence
// of each side, 2^28 and 2^29) and the payload's size.
QStringList packetLines(const QByteArray &file)
{
    QStringList lines;
    for (qsizetype at = 0; at + 28 <= file.size();) {
        const auto *block = reinterpret_cast<const uchar *>(file.constData() + at);
        at += std::max(qFromLittleEndian<quint32>(block + 4), 12u);
        const uchar *ip = block + 28;
        const bool v4 = ip[0] >> 4 == 4;
        const uchar *upper = ip + (v4 ? 20 : 40);
        if (qFromLittleEndian<quint32>(block) != 6)
            continue;
        const int size
                = v4 ? qFromBigEndian<quint16>(ip + 2) - 20 : qFromBigEndian<quint16>(ip + 4);
        QString line = QStringLiteral("udp %1").arg(size - 8);
        if ((v4 ? ip[9] : ip[6]) == 6) {
            QString flags;
            for (int bit = 0; bit < 5; ++bit)
                flags += upper[13] >> bit & 1 ? QStringView(u"FSRPA").mid(bit, 1) : u"";
            line = QStringLiteral("%1 %2 %3 %4")
                           .arg(flags)
                           .arg(qFromBigEndian<quint32>(upper + 4) & 0xFFFFFFF)
                           .arg(qFromBigEndian<quint32>(upper + 8) & 0xFFFFFFF)
                           .arg(size - (upper[12] >> 4) * 4);
        }
        lines << line;
    }
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(WinsockTraffic)

void tst_Capture::pcapngBlocks_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("expected");

    // Type, total length, body, total length again; options padded to four.
    QTest::newRow("section-header") << pcapngSectionHeader("Tarvik")
                                    << hex("0a0d0d0a 2c000000 4d3c2b1a 0100 0000 ffffffffffffffff"
                                           "0400 0600 54617276696b 0000 0000 0000 2c000000");
    QTest::newRow("interface-raw-ip-microseconds")
            << pcapngInterface(linkTypeRaw, captureSnapLength)
            << hex("01000000 20000000 6500 0000 00000400 0900 0100 06000000 0000 0000 20000000");
    QTest::newRow("packet-inbound-padded")
            << pcapngPacket(0x0000000100000002, PacketDirection::Inbound, "abc")
            << hex("06000000 30000000 00000000 01000000 02000000 03000000 03000000 61626300"
                   "0200 0400 01000000 0000 0000 30000000");
    QTest::newRow("packet-outbound-whole-words")
            << pcapngPacket(1, PacketDirection::Outbound, "abcd")
            << hex("06000000 30000000 00000000 00000000 01000000 04000000 04000000 61626364"
                   "0200 0400 02000000 0000 0000 30000000");
    QTest::newRow("packet-empty")
            << pcapngPacket(0, PacketDirection::Inbound, "")
            << hex("06000000 2c000000 00000000 00000000 00000000 00000000 00000000"
                   "0200 0400 01000000 0000 0000 2c000000");
}

void tst_Capture::pcapngBlocks()
{
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, expected);
    QCOMPARE(block.toHex(' '), expected.toHex(' '));
}

void tst_Capture::checksum_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("carried");
    // Lengths around the eight-byte bulk, one that carries many times, a carried sum.
    for (const int size : { 0, 1, 7, 8, 9, 17, 65535 })
        QTest::addRow("%d bytes", size) << size << (size == 9 ? 0xFFFE : 0);
}

// As RFC 1071 sums it: big-endian 16-bit words, one at a time.
void tst_Capture::checksum()
{
    QFETCH(int, size);
    QFETCH(int, carried);
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random { quint32(size) };
    quint64 sum = quint16(carried);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = char(random.bounded(256));
        sum += quint32(quint8(bytes[i])) << (i % 2 ? 0 : 8);
    }
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    QCOMPARE(internetChecksum(bytes, quint16(carried)), quint16(~sum));
}

void tst_Capture::packetsAreValid_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QByteArray>("payload");

    const PacketEnds v4 { QHostAddress("192.0.2.1"), 5353, QHostAddress("198.51.100.7"), 53 };
    const PacketEnds v6 { QHostAddress("2001:db8::1"), 40000, QHostAddress("::1"), 80 };
    const PacketEnds mixed { QHostAddress("127.0.0.1"), 1, QHostAddress("::1"), 2 };
    QTest::newRow("udp-v4-odd-length") << udpPacket(v4, "query") << 4 << 17 << QByteArray("query");
    QTest::newRow("udp-v4-empty") << udpPacket(v4, "") << 4 << 17 << QByteArray();
    QTest::newRow("udp-v6") << udpPacket(v6, QByteArray("\xff\x00\x01", 3)) << 6 << 17
                            << QByteArray("\xff\x00\x01", 3);
    QTest::newRow("udp-mixed-is-v6") << udpPacket(mixed, "x") << 6 << 17 << QByteArray("x");
    TcpFlow flow(v4);
    QTest::newRow("tcp-v4-syn-with-options")
            << whole(flow.open(true).front()) << 4 << 6 << QByteArray();
    QTest::newRow("tcp-v4-data") << whole(flow.bytes(false, "GET /").front()) << 4 << 6
                                 << QByteArray("GET /");
    QTest::newRow("tcp-v6-data") << whole(TcpFlow(v6).bytes(true, "hi!").front()) << 6 << 6
                                 << QByteArray("hi!");
}

// Lengths that add up, the headers' checksums summing to zero, the payload at
// the end.
void tst_Capture::packetsAreValid()
{
    QFETCH(QByteArray, packet);
    QFETCH(int, version);
    QFETCH(int, protocol);
    QFETCH(QByteArray, payload);

    const auto *bytes = reinterpret_cast<const uchar *>(packet.constData());
    QCOMPARE(bytes[0] >> 4, version);
    const int ipHeader = version == 4 ? 20 : 40;
    QByteArray pseudo;
    if (version == 4) {
        QCOMPARE(qFromBigEndian<quint16>(bytes + 2), packet.size());
        QCOMPARE(bytes[9], protocol);
        QCOMPARE(internetChecksum(packet.first(20)), 0);
        pseudo = packet.mid(12, 8);
    } else {
        QCOMPARE(qFromBigEndian<quint16>(bytes + 4), packet.size() - 40);
        QCOMPARE(bytes[6], protocol);
        pseudo = packet.mid(8, 32);
    }
    const QByteArray upper = packet.mid(ipHeader);
    pseudo += QByteArray(2, '\0') + char(0) + char(protocol);
    const quint16 length = qToBigEndian(quint16(upper.size()));
    pseudo += QByteArray(reinterpret_cast<const char *>(&length), 2);
    QCOMPARE(internetChecksum(upper, quint16(~internetChecksum(pseudo))), 0);
    const int upperHeader = protocol == 17 ? 8 : (bytes[ipHeader + 12] >> 4) * 4;
    QCOMPARE(upper.mid(upperHeader), payload);
}

void tst_Capture::capturedPackets_data()
{
    QTest::addColumn<QList<WinsockTraffic>>("records");
    QTest::addColumn<QStringList>("packets");

    using T = WinsockTraffic;
    // IPv6's payload length leaves out its own 40-byte header.
    QTest::newRow("udp-v6-largest-whole")
            << QList { record(T::Datagram, true, "::1", QByteArray(65527, 'd')) }
            << QStringList { "udp 65527" };
    // Joined where it stands, 1,000 bytes in and 20 out after the SYNs, with
    // no handshake; 8 bytes pass unseen before the reset.
    QTest::newRow("tcp-joined-mid-connection-then-reset")
            << QList { record(T::StreamBytes, true, "127.0.0.1", "abc", 1000, 20),
                       record(T::StreamBytes, false, "127.0.0.1", "xy", 1003, 20),
                       record(T::StreamReset, false, "127.0.0.1", {}, 1003, 30) }
            << QStringList { "PA 1001 21 3", "A 21 1004 0", "PA 21 1004 2", "A 1004 23 0",
                             "RA 31 1004 0" };
}

// What the file holds for each record, read back from its blocks.
void tst_Capture::capturedPackets()
{
    QFETCH(QList<WinsockTraffic>, records);
    QFETCH(QStringList, packets);
    QTemporaryDir dir;
    const QString path = dir.filePath("capture.pcapng");
    {
        CaptureFile capture(path, CaptureFile::Pcapng);
        QVERIFY(capture.start());
        for (const WinsockTraffic &record : std::as_const(records))
            capture.add(record);
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(packetLines(file.readAll()), packets);
}

void tst_Capture::arrivalLines_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<qint64>("sinceSendNs"); // -1: no send before
    QTest::addColumn<QString>("line");

    QTest::newRow("v4-reply") << "127.0.0.1" << 45 << qint64(2'449'000)
                              << "[10:04:41.123  from 127.0.0.1:5353  45 bytes  +2.4 ms after Send "
                                 "Data]\r\n";
    QTest::newRow("v6-in-brackets-one-byte")
            << "fe80::1" << 1 << qint64(-1) << "[10:04:41.123  from [fe80::1]:5353  1 byte]\r\n";
    QTest::newRow("empty-late-reply") << "10.0.0.2" << 0 << qint64(61'000'050'000)
                                      << "[10:04:41.123  from 10.0.0.2:5353  0 bytes  +61000.1 ms "
                                         "after Send Data]\r\n";
}

void tst_Capture::arrivalLines()
{
    QFETCH(QString, sender);
    QFETCH(int, bytes);
    QFETCH(qint64, sinceSendNs);
    QFETCH(QString, line);
    std::optional<std::chrono::nanoseconds> sinceSend;
    if (sinceSendNs >= 0)
        sinceSend = std::chrono::nanoseconds(sinceSendNs);
    QCOMPARE(arrivalLine(QTime(10, 4, 41, 123), sender, 5353, bytes, sinceSend), line);
}

// A line of its own before each arrival, in text and in hex, and the delay
// after Send Data; with the item off again the log is as it ever was.
void tst_Capture::windowShowsArrivalTimes()
{
    frmMain w;
    const quint16 port = applyUdpPort(w);
    QVERIFY(port != 0);
    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    const QString from = QStringLiteral("127.0.0.1:%1").arg(peer.localPort());
    typeInto(control<QLineEdit>(w, "txtRemoteHostIP"), QStringLiteral("127.0.0.1"));
    typeInto(control<QLineEdit>(w, "txtRemoteHostPort"), QString::number(peer.localPort()));
    press(control<QPushButton>(w, "cmdApply"));
    auto *log = control<TextField>(w, "txtReceive");
    const auto arrive = [&](const QByteArray &bytes) {
        const qsizetype before = log->length();
        peer.writeDatagram(bytes, QHostAddress::LocalHost, port);
        QTRY_VERIFY_WITH_TIMEOUT(log->length() > before, 10000);
    };

    arrive("plain");
    clickLogMenu(w, QStringLiteral("Show Arrival Times"));
    arrive("ab");
    setTicked(control<QCheckBox>(w, "chkHexDISP"), true);
    setSendText(w, QStringLiteral("ping"));
    press(control<QPushButton>(w, "cmdSendData"));
    arrive("c");
    clickLogMenu(w, QStringLiteral("Show Arrival Times"));
    arrive("d");
    const QString time = QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d");
    const QRegularExpression expected(
            QStringLiteral("^plain\r\n\\[%1  from %2  2 bytes\\]\r\nab\r\n\\[%1  from %2  1 byte  "
                           "\\+\\d+\\.\\d ms after Send Data\\]\r\nUDP IN  \\(0001\\) : 63 \r\n"
                           "UDP IN  \\(0001\\) : 64 \r\n$")
                    .arg(time, QRegularExpression::escape(from)));
    QVERIFY2(expected.match(log->text()).hasMatch(), qPrintable(log->text()));
}

void tst_Capture::windowCapturesTcp_data()
{
    QTest::addColumn<bool>("raw");
    QTest::newRow("pcapng") << false;
    QTest::newRow("raw-bytes-received") << true;
}

// A TCP exchange with the window's server, captured while the log is cleared
// and the display changes: raw keeps the received bytes exactly; pcapng is
// whole blocks that tshark, where installed, follows back to the same bytes.
void tst_Capture::windowCapturesTcp()
{
    QFETCH(bool, raw);
    QTemporaryDir dir;
    const QString path = dir.filePath(raw ? "capture.bin" : "capture.pcapng");
    frmMain w;
    const quint16 port = freeTcpPort();
    typeInto(control<QLineEdit>(w, "txtLocalHostPortSet"), QString::number(port));
    press(control<QRadioButton>(w, "optTCP"));
    clickLogMenu(w, QStringLiteral("Capture to File…"), [&] {
        answerDialog(path, raw ? QStringLiteral("Raw bytes received (*.bin *)")
                               : QStringLiteral("pcapng (*.pcapng)"));
    });
    QCOMPARE(control<TextField>(w, "txtReceive")->accessibleDescription(),
             QStringLiteral("Capturing to ") + QDir::toNativeSeparators(path));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(control<Winsock>(w, "Winsock")->State(), Winsock::Connected, 10000);
    QByteArray sent;
    for (int i = 0; i < 3000; ++i)
        sent += QByteArray::number(i) + "\xff\x00\r\n" + QByteArray(i % 97, 'x');
    client.write(sent);
    QTRY_VERIFY_WITH_TIMEOUT(control<TextField>(w, "txtReceive")->text().contains(u"2999"), 10000);
    press(control<QPushButton>(w, "cmdClear"));
    setSendText(w, QStringLiteral("reply ✓"));
    press(control<QPushButton>(w, "cmdSendData"));
    QCOMPARE(panelText(w, 1), QString());
    QTRY_COMPARE_WITH_TIMEOUT(client.bytesAvailable(), 9, 10000);
    client.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(panelText(w, 3), QStringLiteral("Disconnect"), 10000);
    clickLogMenu(w, QStringLiteral("Stop Capture"));
    QCOMPARE(control<TextField>(w, "txtReceive")->accessibleDescription(), QString());

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    if (raw) {
        QCOMPARE(written.size(), sent.size());
        QVERIFY(written == sent);
        return;
    }
    // Every block whole: each length framed at both ends, to the last byte.
    qsizetype at = 0;
    int packets = 0;
    while (at + 12 <= written.size()) {
        const auto length = qFromLittleEndian<quint32>(written.constData() + at + 4);
        QVERIFY(length % 4 == 0 && at + length <= written.size());
        QCOMPARE(qFromLittleEndian<quint32>(written.constData() + at + length - 4), length);
        packets += qFromLittleEndian<quint32>(written.constData() + at) == 6;
        at += length;
    }
    QCOMPARE(at, written.size());
    QVERIFY(packets > 8); // the handshake, data both ways, both FINs
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    if (tshark.isEmpty())
        QSKIP("tshark is not installed: the capture's blocks were checked, not its stream");
    QProcess follow;
    follow.start(tshark, { "-r", path, "-q", "-z", "follow,tcp,raw,0" });
    QVERIFY(follow.waitForFinished(60000));
    const QString warnings
            = QString::fromUtf8(follow.readAllStandardError())
                      .remove(QRegularExpression(QStringLiteral("Running as user[^\n]*\n")));
    QCOMPARE(warnings, QString());
    // Lines of hex after the header; the window's own are indented by a tab.
    QByteArray in, out;
    for (const QByteArray &line : follow.readAllStandardOutput().split('\n')) {
        if (QRegularExpression(QStringLiteral("^\t?[0-9a-f]+$")).match(line).hasMatch())
            (line.startsWith('\t') ? out : in) += QByteArray::fromHex(line.trimmed());
    }
    QVERIFY(in == sent);
    QCOMPARE(out, QStringLiteral("reply ✓").toUtf8());
}

void tst_Capture::fullDiskStopsTheCapture()
{
    SKIP_UNLESS_LINUX("/dev/full");
    frmMain w;
    clickLogMenu(w, QStringLiteral("Capture to File…"),
                 [] { answerDialog(QStringLiteral("/dev/full"), "pcapng (*.pcapng)"); });
    QTRY_COMPARE_WITH_TIMEOUT(panelText(w, 1),
                              QStringLiteral("Capture failed: No space left on device"), 10000);
    QTRY_COMPARE(control<TextField>(w, "txtReceive")->accessibleDescription(), QString());
}

QTEST_MAIN(tst_Capture)
#include "tst_capture.moc"
