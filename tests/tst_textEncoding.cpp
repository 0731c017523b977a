#include "field/widget/TextField.h"
#include "log/ReceiveLog.h"
#include "text/StreamDecoder.h"
#include "text/textEncoding.h"

#include <QSysInfo>
#include <QTest>

namespace {

bool offered(const QByteArray &name)
{
    const QList<TextEncoding> encodings = availableEncodings();
    return std::any_of(encodings.begin(), encodings.end(),
                       [&](const TextEncoding &encoding) { return encoding.name == name; });
}

QString codePoints(const QString &text)
{
    QStringList points;
    for (const char32_t c : text.toUcs4())
        points << QString::number(uint(c), 16);
    return points.join(u' ');
}

} // namespace

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
    void streams_data();
    void streams();
    void clearAndSwitchForgetHeldBytes();
    void sameMenuEverywhere();
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
    QTest::newRow("utf16le-bom-typed-is-sent")
            << QByteArray("UTF-16LE") << QStringLiteral("\uFEFFA")
            << QByteArray("\xFF\xFE\x41\0", 4) << -1;
    QTest::newRow("utf16le-lone-surrogate")
            << QByteArray("UTF-16LE") << QString(QChar(0xD800)) << QByteArray() << 0;
    QTest::newRow("windows-1252") << QByteArray("windows-1252") << "\u20AC\u00E9"
                                  << QByteArray("\x80\xE9") << -1;
    QTest::newRow("windows-1252-cannot-hold")
            << QByteArray("windows-1252") << "a\u0100" << QByteArray() << 1;
    QTest::newRow("koi8-r") << QByteArray("KOI8-R") << "\u0430" << QByteArray("\xC1") << -1;
    QTest::newRow("koi8-r-cannot-hold") << QByteArray("KOI8-R") << "\u00E9" << QByteArray() << 0;
}

void tst_textEncoding::encoding()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, text);
    if (!offered(name))
        QSKIP("this system has no such code page (sameMenuEverywhere says which may lack one)");
    const EncodedText encoded = encodeText(text, name);
    QTEST(encoded.bytes, "bytes");
    QTEST(int(encoded.faultAt), "faultAt");
}

void tst_textEncoding::characterSplitAtEveryCut_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("utf8") << QByteArray("UTF-8") << QStringLiteral("\uFEFFa\u00E9\U0001F600");
    QTest::newRow("gb18030") << QByteArray("GB18030") << QStringLiteral("a\u4E2D\U00010000b");
    QTest::newRow("big5") << QByteArray("Big5") << QStringLiteral("\u4E2Dx\u4E2D");
    QTest::newRow("shift-jis") << QByteArray("Shift_JIS") << QStringLiteral("\u3042x\u30A2");
    QTest::newRow("euc-kr") << QByteArray("EUC-KR") << QStringLiteral("\uAC00x\uAC00");
    QTest::newRow("utf16le") << QByteArray("UTF-16LE") << QStringLiteral("a\U0001F600");
    QTest::newRow("utf16be") << QByteArray("UTF-16BE") << QStringLiteral("\u4E2Db\U0001F600");
}

void tst_textEncoding::characterSplitAtEveryCut()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, text);
    if (!offered(name))
        QSKIP("this system has no such code page (sameMenuEverywhere says which may lack one)");
    const QByteArray bytes = encodeText(text, name).bytes;
    QVERIFY(!bytes.isEmpty());
    for (qsizetype cut = 0; cut <= bytes.size(); ++cut) {
        // Two reads of one stream put the character together again.
        StreamDecoder decoder(name);
        QString read = decoder.decode(bytes.first(cut), 1, false);
        QVERIFY(decoder.held().size() <= StreamDecoder::maxHeldBytes);
        read += decoder.decode(bytes.sliced(cut), 1, false);
        QVERIFY2(read == text && !decoder.holdsBytes(),
                 qPrintable(QStringLiteral("cut %1: %2").arg(cut).arg(codePoints(read))));
    }
}

// Reads in order: stream n > 0 is a connection, -n its last bytes (the peer
// closed), 0 a datagram.
void tst_textEncoding::streams_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QList<int>>("streams");
    QTest::addColumn<QString>("text");
    using Reads = QList<QByteArray>;
    using Streams = QList<int>;
    const QString fffd(QChar::ReplacementCharacter);
    QTest::newRow("utf16le-next-connection-after-ours-closed")
            << QByteArray("UTF-16LE") << Reads { { "A\0B", 3 }, { "C\0D\0", 4 } }
            << Streams { 1, 2 } << "A" + fffd + "CD";
    QTest::newRow("gb18030-close-then-next-connection")
            << QByteArray("GB18030") << Reads { "A\xB0", "\xA1\x42" } << Streams { -1, 2 }
            << "A" + fffd + "\uE4C8";
    QTest::newRow("gb18030-datagram-cut")
            << QByteArray("GB18030") << Reads { "A\x81" } << Streams { 0 } << "A" + fffd;
    QTest::newRow("gb18030-datagram-cut-four-byte")
            << QByteArray("GB18030") << Reads { "\x81\x30\x81" } << Streams { 0 } << fffd;
    QTest::newRow("big5-datagram-cut")
            << QByteArray("Big5") << Reads { "A\xA4" } << Streams { 0 } << "A" + fffd;
    QTest::newRow("shift-jis-datagram-cut")
            << QByteArray("Shift_JIS") << Reads { "A\x82" } << Streams { 0 } << "A" + fffd;
    QTest::newRow("euc-kr-datagram-cut")
            << QByteArray("EUC-KR") << Reads { "A\xB0" } << Streams { 0 } << "A" + fffd;
    QTest::newRow("utf8-cut-by-close")
            << QByteArray("UTF-8") << Reads { "A\xE2\x82" } << Streams { -1 } << "A" + fffd + fffd;
    QTest::newRow("utf8-next-connection-mid-character")
            << QByteArray("UTF-8") << Reads { "\xE2\x82", "\xAC" } << Streams { 1, 2 }
            << fffd + fffd + fffd;
    QTest::newRow("shift-jis-unassigned-pair")
            << QByteArray("Shift_JIS") << Reads { "\x85\x40\x41" } << Streams { 0 } << fffd + "A";
    QTest::newRow("shift-jis-lead-before-ascii")
            << QByteArray("Shift_JIS") << Reads { "\x81 A" } << Streams { 0 } << fffd + " A";
    QTest::newRow("utf16be-lone-surrogate")
            << QByteArray("UTF-16BE") << Reads { { "\xDC\x00\0A", 4 } } << Streams { 0 }
            << fffd + "A";
    QTest::newRow("utf16be-high-surrogate-cut-by-close")
            << QByteArray("UTF-16BE") << Reads { "\xD8\x3D" } << Streams { -1 } << fffd;
    QTest::newRow("utf16le-bom-shown")
            << QByteArray("UTF-16LE") << Reads { { "\xFF\xFE\x41\0B\0", 6 } } << Streams { 0 }
            << QStringLiteral("\uFEFFAB");
    QTest::newRow("utf8-bom-shown") << QByteArray("UTF-8") << Reads { "\xEF\xBB\xBF\x41" }
                                    << Streams { 1 } << QStringLiteral("\uFEFFA");
}

void tst_textEncoding::streams()
{
    QFETCH(QByteArray, name);
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QList<int>, streams);
    if (!offered(name))
        QSKIP("this system has no such code page (sameMenuEverywhere says which may lack one)");
    QFETCH(QString, text);
    StreamDecoder decoder(name);
    QString read;
    for (qsizetype i = 0; i < reads.size(); ++i)
        read += decoder.decode(reads[i], quint64(std::abs(streams[i])), streams[i] < 0);
    QCOMPARE(codePoints(read), codePoints(text));
}

void tst_textEncoding::clearAndSwitchForgetHeldBytes()
{
    TextField field;
    ReceiveLog log(&field);
    log.setEncoding("UTF-16LE");
    QCOMPARE(log.decoder().decode(QByteArray("A\0B", 3), 1, false), QStringLiteral("A"));
    log.clear();
    QCOMPARE(log.decoder().decode(QByteArray("C\0", 2), 1, false), QStringLiteral("C"));
    QCOMPARE(log.decoder().decode(QByteArray("D", 1), 1, false), QString());
    log.setEncoding("UTF-16BE");
    QCOMPARE(log.decoder().decode(QByteArray("\0E", 2), 1, false), QStringLiteral("E"));
}

// The same menu on every platform: the system supplies what the toolkit lacks.
void tst_textEncoding::sameMenuEverywhere()
{
    QStringList labels;
    for (const TextEncoding &encoding : availableEncodings())
        labels << encoding.label;
    QStringList expected { "UTF-8",   "Latin-1", "Windows-1252", "UTF-16 LE", "UTF-16 BE",
                           "GB18030", "Big5",    "Shift_JIS",    "EUC-KR",    "KOI8-R" };
    // Windows has code page 54936; Wine 8 does not.
    if (QSysInfo::kernelType() == u"winnt" && !labels.contains(u"GB18030")) {
        expected.removeAll(u"GB18030");
        qWarning("no code page 54936 (GB18030) on this system: its rows are skipped");
    }
    QCOMPARE(labels, expected);
}

QTEST_MAIN(tst_textEncoding)
#include "tst_textEncoding.moc"
