#include "text/StreamDecoder.h"

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QTest>

#include <algorithm>

namespace {

// Independent of the code under test: whether `bytes` is a proper, non-empty prefix of one
// well-formed UTF-8 sequence (the only thing the carry may hold between reads).
bool isProperPrefix(QByteArrayView bytes)
{
    if (bytes.isEmpty() || bytes.size() > 3)
        return false;
    const auto lead = quint8(bytes[0]);
    int length = 0;
    quint8 low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    else
        return false;
    if (lead == 0xE0)
        low = 0xA0;
    else if (lead == 0xED)
        high = 0x9F;
    else if (lead == 0xF0)
        low = 0x90;
    else if (lead == 0xF4)
        high = 0x8F;
    if (bytes.size() >= length)
        return false;
    for (qsizetype i = 1; i < bytes.size(); ++i) {
        const auto b = quint8(bytes[i]);
        if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF))
            return false;
    }
    return true;
}

struct Fed
{
    QString text;
    QByteArray carry; // what is left after the last read
    QString fault;    // first time the carry held something it must not
};

// Feeds `bytes` to one stream, cut at `cuts` (ascending offsets).
Fed feed(const QByteArray &bytes, const QList<qsizetype> &cuts)
{
    Fed fed;
    StreamDecoder decoder;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= cuts.size(); ++i) {
        const qsizetype to = i < cuts.size() ? cuts.at(i) : bytes.size();
        fed.text += decoder.decode(QByteArrayView(bytes).sliced(from, to - from), 1, false);
        fed.carry = decoder.held();
        if (fed.fault.isEmpty() && !fed.carry.isEmpty() && !isProperPrefix(fed.carry))
            fed.fault = QStringLiteral("carry %1 after %2 bytes")
                                .arg(QString::fromLatin1(fed.carry.toHex(' ')))
                                .arg(to);
        from = to;
    }
    return fed;
}

// Runs one split and reports what went wrong, if anything.
QString checkSplit(const QByteArray &bytes, const QList<qsizetype> &cuts, const QString &expected)
{
    const Fed fed = feed(bytes, cuts);
    QString where;
    for (qsizetype cut : cuts)
        where += QString::number(cut) + u' ';
    if (!fed.fault.isEmpty())
        return QStringLiteral("cuts [%1]: %2").arg(where, fed.fault);
    if (!fed.carry.isEmpty())
        return QStringLiteral("cuts [%1]: carry left at the end").arg(where);
    if (fed.text != expected) {
        QString got;
        for (QChar c : fed.text)
            got += QString::number(c.unicode(), 16) + u' ';
        return QStringLiteral("cuts [%1] of %2 gave %3")
                .arg(where, QString::fromLatin1(bytes.toHex(' ')), got);
    }
    return {};
}

QList<qsizetype> everyByte(qsizetype size)
{
    QList<qsizetype> cuts;
    for (qsizetype i = 1; i < size; ++i)
        cuts.append(i);
    return cuts;
}

char32_t randomCodePoint(QRandomGenerator &rng)
{
    switch (rng.bounded(5)) {
    case 0:
        return rng.bounded(0x80); // ASCII, NUL and control bytes included
    case 1:
        return 0x80 + rng.bounded(0x800 - 0x80);
    case 2: {
        const char32_t c = 0x800 + rng.bounded(0x10000 - 0x800);
        return c >= 0xD800 && c <= 0xDFFF ? 0xFEFF : c;
    }
    case 3:
        return 0x10000 + rng.bounded(0x110000 - 0x10000);
    default:
        return 0xFEFF; // read as a byte order mark when it starts a read
    }
}

} // namespace

class tst_Utf8Stream : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void validSplits_data();
    void validSplits();
    void invalidBytes_data();
    void invalidBytes();
    void incompleteTail_data();
    void incompleteTail();
    void randomSplits();
};

void tst_Utf8Stream::validSplits_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("ascii") << QStringLiteral("hello, world");
    QTest::newRow("two-byte") << QStringLiteral("a\u00e9b\u07ff");
    QTest::newRow("three-byte") << QStringLiteral("\u20ac\u0800x\uffff");
    QTest::newRow("four-byte") << QStringLiteral("a\U0001F600\U00010000\U0010FFFF");
    QTest::newRow("mixed-adjacent") << QStringLiteral("\u00e9\u20ac\U0001F600\u00e9");
    QTest::newRow("nul-and-controls") << QString::fromUtf16(u"A\u0000B\u0001\u001b\u007f\r\n", 8);
    QTest::newRow("bom-mid-stream") << QStringLiteral("A\ufeffB\ufeff");
}

// Every cut into two reads, every pair of cuts into three, and one byte per read must all decode
// to the text, with nothing left over.
void tst_Utf8Stream::validSplits()
{
    QFETCH(QString, text);
    const QByteArray bytes = text.toUtf8();

    QString fault = checkSplit(bytes, everyByte(bytes.size()), text);
    for (qsizetype a = 0; fault.isEmpty() && a <= bytes.size(); ++a) {
        for (qsizetype b = a; fault.isEmpty() && b <= bytes.size(); ++b)
            fault = checkSplit(bytes, { a, b }, text);
    }
    if (!fault.isEmpty())
        QFAIL(qPrintable(fault));
}

void tst_Utf8Stream::invalidBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("lead-c0") << QByteArray("\xc0\xaf");
    QTest::newRow("lead-c1") << QByteArray("\xc1\xbf");
    QTest::newRow("lead-f5") << QByteArray("\xf5\x80\x80\x80");
    QTest::newRow("lead-f8-ff") << QByteArray("\xf8\xfc\xfe\xff");
    QTest::newRow("stray-continuation") << QByteArray("a\x80z");
    QTest::newRow("continuation-run") << QByteArray("\xbf\x80\x80\x80\x80");
    QTest::newRow("overlong-e0-80") << QByteArray("\xe0\x80\x80");
    QTest::newRow("overlong-f0-80") << QByteArray("\xf0\x80\x80\x80");
    QTest::newRow("surrogate-ed-a0") << QByteArray("\xed\xa0\x80");
    QTest::newRow("beyond-max-f4-90") << QByteArray("\xf4\x90\x80\x80");
    QTest::newRow("truncated-3-then-ascii") << QByteArray("\xe2\x82"
                                                          "A");
    QTest::newRow("truncated-4-then-ascii") << QByteArray("\xf0\x9f\x98"
                                                          "A");
    QTest::newRow("lead-then-lead") << QByteArray("\xe2\xe2\x82\xac");
    QTest::newRow("extra-continuation") << QByteArray("\xe2\x82\xac\x80\x80\x80");
}

// Bad bytes come out as U+FFFD exactly as a one-shot decode gives them, however the stream is
// cut, and the carry lets go of them at once.
void tst_Utf8Stream::invalidBytes()
{
    QFETCH(QByteArray, bytes);
    const QByteArray stream = bytes + "Z";
    const QString expected = QString::fromUtf8(stream);
    QVERIFY(expected.contains(QChar::ReplacementCharacter));

    QString fault = checkSplit(stream, everyByte(stream.size()), expected);
    for (qsizetype a = 0; fault.isEmpty() && a <= stream.size(); ++a)
        fault = checkSplit(stream, { a }, expected);
    if (!fault.isEmpty())
        QFAIL(qPrintable(fault));
}

void tst_Utf8Stream::incompleteTail_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qsizetype>("tail");

    QTest::newRow("empty") << QByteArray() << qsizetype(0);
    QTest::newRow("ascii") << QByteArray("abc") << qsizetype(0);
    QTest::newRow("nul-last") << QByteArray("a\0", 2) << qsizetype(0);
    QTest::newRow("lead-2") << QByteArray("a\xc3") << qsizetype(1);
    QTest::newRow("lead-3-plus-1") << QByteArray("\xe2\x82") << qsizetype(2);
    QTest::newRow("lead-4-plus-2") << QByteArray("a\xf0\x9f\x98") << qsizetype(3);
    QTest::newRow("complete-4") << QByteArray("\xf0\x9f\x98\x80") << qsizetype(0);
    QTest::newRow("complete-then-lead") << QByteArray("\xe2\x82\xac\xf4") << qsizetype(1);
    QTest::newRow("overlong-e0-80") << QByteArray("\xe0\x80") << qsizetype(0);
    QTest::newRow("surrogate-ed-a0") << QByteArray("\xed\xa0") << qsizetype(0);
    QTest::newRow("beyond-max-f4-90") << QByteArray("\xf4\x90\x80") << qsizetype(0);
    QTest::newRow("lead-c0") << QByteArray("\xc0") << qsizetype(0);
    QTest::newRow("lead-f5") << QByteArray("\xf5") << qsizetype(0);
    QTest::newRow("continuations-only") << QByteArray("\x80\x80\x80") << qsizetype(0);
    QTest::newRow("two-byte-plus-stray") << QByteArray("\xc3\xa9\x80") << qsizetype(0);
}

void tst_Utf8Stream::incompleteTail()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qsizetype, tail);
    QCOMPARE(incompleteUtf8Tail(bytes), tail);
}

// Any split of any valid stream decodes to the same text as the stream in one piece.
void tst_Utf8Stream::randomSplits()
{
    QRandomGenerator rng(0x7a2b1c);
    for (int round = 0; round < 400; ++round) {
        QString text;
        const int length = rng.bounded(40);
        for (int i = 0; i < length; ++i) {
            // Not QString::fromUcs4: it would drop a leading U+FEFF.
            const char32_t c = randomCodePoint(rng);
            if (QChar::requiresSurrogates(c))
                text.append(QChar(QChar::highSurrogate(c))).append(QChar(QChar::lowSurrogate(c)));
            else
                text.append(QChar(c));
        }
        const QByteArray bytes = text.toUtf8();
        QList<qsizetype> cuts;
        const int reads = 1 + rng.bounded(8);
        for (int i = 1; i < reads; ++i)
            cuts.append(rng.bounded(bytes.size() + 1));
        std::sort(cuts.begin(), cuts.end());

        const QString fault = checkSplit(bytes, cuts, text);
        if (!fault.isEmpty())
            QFAIL(qPrintable(QStringLiteral("round %1, %2").arg(round).arg(fault)));
    }
}

QTEST_GUILESS_MAIN(tst_Utf8Stream)
#include "tst_utf8Stream.moc"
