#include "text/hexRecord.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTest>

namespace {

// Deliberately naive: one cell at a time, the way the record is described.
QString referenceRecord(HexTransport transport, const QByteArray &bytes)
{
    QString header = transport == HexTransport::Udp ? QStringLiteral("UDP IN  (")
                                                    : QStringLiteral("TCP IN  (");
    header += QString::number(bytes.size(), 16).toUpper().rightJustified(4, u'0');
    header += QStringLiteral(") : ");
    QString out = header;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        out += QString::number(quint8(bytes[i]), 16).toUpper().rightJustified(2, u'0') + u' ';
        if ((i + 1) % 16 == 0 && i + 1 < bytes.size())
            out += QStringLiteral("\r\n") + QString(header.size(), u' ');
    }
    return out + QStringLiteral("\r\n");
}

QByteArray randomBytes(qsizetype n, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray bytes(n, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(rng.bounded(256));
    return bytes;
}

QByteArray counting(int n)
{
    QByteArray bytes;
    for (int i = 0; i < n; ++i)
        bytes.append(char(i));
    return bytes;
}

} // namespace

class tst_HexRecord : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exactText_data();
    void exactText();
    void structure_data();
    void structure();
    void refusedPastFourDigits_data();
    void refusedPastFourDigits();
};

void tst_HexRecord::exactText_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    const QString indent(17, u' ');
    QTest::newRow("empty") << false << QByteArray() << QStringLiteral("TCP IN  (0000) : \r\n");
    QTest::newRow("crlf-bytes") << false << QByteArray("ABC\r\n")
                                << QStringLiteral("TCP IN  (0005) : 41 42 43 0D 0A \r\n");
    QTest::newRow("nul-and-high") << true << QByteArray("\x00\xff\x7f\x80", 4)
                                  << QStringLiteral("UDP IN  (0004) : 00 FF 7F 80 \r\n");
    QTest::newRow("exact-16") << true << counting(16)
                              << QStringLiteral("UDP IN  (0010) : 00 01 02 03 04 05 06 07 08 09 "
                                                "0A 0B 0C 0D 0E 0F \r\n");
    QTest::newRow("17") << true << counting(17)
                        << QStringLiteral("UDP IN  (0011) : 00 01 02 03 04 05 06 07 08 09 0A 0B "
                                          "0C 0D 0E 0F \r\n")
                                   + indent + QStringLiteral("10 \r\n");
    QTest::newRow("exact-32")
            << false << counting(32)
            << QStringLiteral("TCP IN  (0020) : 00 01 02 03 04 05 06 07 08 09 "
                              "0A 0B 0C 0D 0E 0F \r\n")
                       + indent
                       + QStringLiteral("10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F \r\n");
}

void tst_HexRecord::exactText()
{
    QFETCH(bool, udp);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QCOMPARE(buildHexRecord(udp ? HexTransport::Udp : HexTransport::Tcp, bytes), expected);
}

void tst_HexRecord::structure_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<QString>("count");
    QTest::addColumn<qsizetype>("lines");
    QTest::addColumn<qsizetype>("lastCells");

    QTest::newRow("1") << qsizetype(1) << QStringLiteral("0001") << qsizetype(1) << qsizetype(1);
    QTest::newRow("15") << qsizetype(15) << QStringLiteral("000F") << qsizetype(1) << qsizetype(15);
    QTest::newRow("33") << qsizetype(33) << QStringLiteral("0021") << qsizetype(3) << qsizetype(1);
    QTest::newRow("300") << qsizetype(300) << QStringLiteral("012C") << qsizetype(19)
                         << qsizetype(12);
    QTest::newRow("32766") << qsizetype(32766) << QStringLiteral("7FFE") << qsizetype(2048)
                           << qsizetype(14);
    QTest::newRow("32767") << qsizetype(32767) << QStringLiteral("7FFF") << qsizetype(2048)
                           << qsizetype(15);
    QTest::newRow("32768") << qsizetype(32768) << QStringLiteral("8000") << qsizetype(2048)
                           << qsizetype(16);
    QTest::newRow("65535") << qsizetype(65535) << QStringLiteral("FFFF") << qsizetype(4096)
                           << qsizetype(15);
}

void tst_HexRecord::structure()
{
    QFETCH(qsizetype, size);
    QFETCH(QString, count);
    QFETCH(qsizetype, lines);
    QFETCH(qsizetype, lastCells);

    const QByteArray bytes = randomBytes(size, quint32(size));
    const QString record = buildHexRecord(HexTransport::Udp, bytes);
    const QString header = QStringLiteral("UDP IN  (") + count + QStringLiteral(") : ");
    QCOMPARE(header.size(), 17);

    QVERIFY(record.startsWith(header));
    QCOMPARE(record.size(), 3 * size + (header.size() + 2) * lines);
    const QStringList rows = record.split(QStringLiteral("\r\n"));
    QCOMPARE(rows.size(), lines + 1);
    QVERIFY(rows.last().isEmpty());
    QCOMPARE(rows.at(lines - 1).size(), header.size() + 3 * lastCells);
    // Every cell sits in the same column on every line.
    const QString indent(header.size(), u' ');
    for (qsizetype i = 1; i < lines; ++i) {
        if (!rows.at(i).startsWith(indent) || rows.at(i).at(header.size()) == u' ')
            QFAIL(qPrintable(QStringLiteral("line %1 is not aligned: %2").arg(i).arg(rows.at(i))));
    }
    QCOMPARE(record, referenceRecord(HexTransport::Udp, bytes));

    const QString tcp = buildHexRecord(HexTransport::Tcp, bytes);
    QVERIFY(tcp.startsWith(QStringLiteral("TCP IN  (") + count));
    QCOMPARE(tcp.mid(3), record.mid(3));
}

void tst_HexRecord::refusedPastFourDigits_data()
{
    QTest::addColumn<qsizetype>("size");

    QTest::newRow("10000") << qsizetype(0x10000);
    QTest::newRow("600000-bytes") << qsizetype(600000);
}

void tst_HexRecord::refusedPastFourDigits()
{
    QFETCH(qsizetype, size);
    const QByteArray bytes(size, 'x');
    QByteArray out("kept");
    QVERIFY(!buildHexRecordLatin1(HexTransport::Tcp, bytes, out));
    QCOMPARE(out, QByteArray("kept"));
    QVERIFY(buildHexRecord(HexTransport::Udp, bytes).isEmpty());
}

QTEST_GUILESS_MAIN(tst_HexRecord)
#include "tst_hexRecord.moc"
