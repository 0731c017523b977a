#include "data/ReceiveLog.h"
#include "field/widget/TextField.h"
#include "text/textEncoding.h"

#include <QStringEncoder>
#include <QTest>

class tst_textEncoding : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lineEnds_data();
    void lineEnds();
    void encoding_data();
    void encoding();
    void characterSplitAtEveryCut_data();
    void characterSplitAtEveryCut();
};

void tst_textEncoding::lineEnds_data()
{
    QTest::addColumn<int>("end");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("sent");
    const int lf = int(LineEnd::Lf), crlf = int(LineEnd::CrLf), cr = int(LineEnd::Cr);
    QTest::newRow("lf-sends-as-typed") << lf << "a\nb\r\nc\rd"
                                       << "a\nb\r\nc\rd";
    QTest::newRow("crlf") << crlf << "a\nb\n"
                          << "a\r\nb\r\n";
    QTest::newRow("crlf-pasted-stays-one") << crlf << "a\r\nb\rc"
                                           << "a\r\nb\r\nc";
    QTest::newRow("cr") << cr << "a\nb\r\nc\r"
                        << "a\rb\rc\r";
    QTest::newRow("cr-then-lf-is-one-break") << cr << "\r\n\n"
                                             << "\r\r";
    QTest::newRow("no-breaks") << crlf << "abc"
                               << "abc";
}

void tst_textEncoding::lineEnds()
{
    QFETCH(int, end);
    QFETCH(QString, typed);
    QTEST(withLineEnds(typed, LineEnd(end)), "sent");
}

void tst_textEncoding::encoding_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("faultAt");
    QTest::newRow("latin1") << QByteArray("ISO-8859-1") << "caf\u00E9" << QByteArray("caf\xE9")
                            << -1;
    QTest::newRow("latin1-cannot-hold")
            << QByteArray("ISO-8859-1") << "ab\u20ACc" << QByteArray() << 2;
    QTest::newRow("latin1-pair-points-before-it")
            << QByteArray("ISO-8859-1") << QStringLiteral("a\U0001F600") << QByteArray() << 1;
    QTest::newRow("utf16le") << QByteArray("UTF-16LE") << "A\u4E2D" << QByteArray("A\0\x2DN", 4)
                             << -1;
    QTest::newRow("utf16be") << QByteArray("UTF-16BE") << "A" << QByteArray("\0A", 2) << -1;
    QTest::newRow("gb18030") << QByteArray("GB18030") << "\u4E2D" << QByteArray("\xD6\xD0") << -1;
    QTest::newRow("shift-jis-cannot-hold")
            << QByteArray("Shift_JIS") << "x\u00E9" << QByteArray() << 1;
}

void tst_textEncoding::encoding()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, text);
    if (!QStringEncoder(name.constData()).isValid())
        QSKIP("this toolkit has no such encoding");
    const EncodedText encoded = encodeText(text, name);
    QTEST(encoded.bytes, "bytes");
    QTEST(int(encoded.faultAt), "faultAt");
}

void tst_textEncoding::characterSplitAtEveryCut_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("gb18030") << QByteArray("GB18030") << QStringLiteral("a\u4E2D\U00010000b");
    QTest::newRow("shift-jis") << QByteArray("Shift_JIS") << QStringLiteral("\u3042x\u30A2");
    QTest::newRow("utf16le") << QByteArray("UTF-16LE") << QStringLiteral("a\U0001F600");
    QTest::newRow("utf16be") << QByteArray("UTF-16BE") << QStringLiteral("\u4E2Db");
}

void tst_textEncoding::characterSplitAtEveryCut()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, text);
    if (!QStringEncoder(name.constData()).isValid())
        QSKIP("this toolkit has no such encoding");
    const QByteArray bytes = encodeText(text, name).bytes;
    QVERIFY(!bytes.isEmpty());
    for (qsizetype cut = 0; cut <= bytes.size(); ++cut) {
        TextField field;
        ReceiveLog log(&field);
        log.setEncoding(name);
        // Two reads of one stream put the character together again.
        QString read = log.decode(bytes.first(cut), false);
        read += log.decode(bytes.sliced(cut), false);
        QVERIFY2(read == text, qPrintable(QString::number(cut)));
    }
}

QTEST_MAIN(tst_textEncoding)
#include "tst_textEncoding.moc"
