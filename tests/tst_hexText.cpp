#include "text/hexText.h"

#include <QByteArray>
#include <QString>
#include <QTest>

#include <vector>

class tst_HexText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void read_data();
    void read();
};

void tst_HexText::read_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");   // given as hex
    QTest::addColumn<QString>("fault");      // empty when the text is read whole
    QTest::addColumn<qsizetype>("position"); // of the fault

    const auto ok = [](const char *name, const QString &text, const QByteArray &hex) {
        QTest::newRow(name) << text << hex << QString() << qsizetype(0);
    };
    const auto bad = [](const char *name, const QString &text, const char *fault,
                        qsizetype position) {
        QTest::newRow(name) << text << QByteArray() << QString::fromLatin1(fault) << position;
    };

    ok("empty", QString(), "");
    ok("separators-only", QStringLiteral(" \t,\r\n,,"), "");
    ok("packed", QStringLiteral("48656C6C6F"), "48656c6c6f");
    ok("spaced-lower", QStringLiteral("48 65 6c 6c 6f"), "48656c6c6f");
    ok("mixed-case-in-a-byte", QStringLiteral("aB Cd"), "abcd");
    ok("c-array-lines", QStringLiteral("0x48, 0x65,\n0X6c,\r\n0x6C,\r0x6f,"), "48656c6c6f");
    ok("prefix-right-after-a-byte", QStringLiteral("480x65"), "4865");
    ok("zero-bytes", QStringLiteral("00 0x00 000x00"), "00000000");
    ok("tabs-and-commas-packed", QStringLiteral("\t41,42\t,43"), "414243");
    QString everyByte;
    QByteArray everyValue;
    for (int value = 0; value < 256; ++value) {
        everyByte += QString::number(value, 16).rightJustified(2, u'0');
        everyValue.append(char(value));
    }
    ok("every-byte-value", everyByte, everyValue.toHex());
    QString spaced;
    for (int value = 0; value < 256; ++value) {
        spaced += QString::number(value, 16).toUpper().rightJustified(2, u'0');
        spaced += value % 16 == 15 ? QStringLiteral("\r\n") : QStringLiteral(" ");
    }
    ok("every-byte-value-spaced-lines", spaced, everyValue.toHex());

    bad("odd-digit-at-end", QStringLiteral("486"),
        "a byte needs two hex digits at line 1, column 3", 2);
    bad("split-byte", QStringLiteral("4 8"), "a byte needs two hex digits at line 1, column 1", 0);
    bad("split-by-comma", QStringLiteral("41,4,42"),
        "a byte needs two hex digits at line 1, column 4", 3);
    bad("split-by-line-break", QStringLiteral("4\n8"),
        "a byte needs two hex digits at line 1, column 1", 0);
    bad("prefix-alone", QStringLiteral("41 0x"), "a byte needs two hex digits at line 1, column 4",
        3);
    bad("prefix-then-comma", QStringLiteral("0x,41"),
        "a byte needs two hex digits at line 1, column 1", 0);
    bad("prefix-one-digit", QStringLiteral("0x4 41"),
        "a byte needs two hex digits at line 1, column 1", 0);
    bad("prefix-then-space", QStringLiteral("0x 41"),
        "a byte needs two hex digits at line 1, column 1", 0);
    bad("stray-g", QStringLiteral("48g9"), "not hex at line 1, column 3", 2);
    bad("g-after-one-digit", QStringLiteral("4g"), "not hex at line 1, column 2", 1);
    bad("g-after-prefix", QStringLiteral("0xg1"), "not hex at line 1, column 3", 2);
    bad("two-prefixes", QStringLiteral("0x0x41"), "not hex at line 1, column 4", 3);
    bad("x-after-a-byte", QStringLiteral("00x41"), "not hex at line 1, column 3", 2);
    bad("x-without-zero", QStringLiteral("1x41"), "not hex at line 1, column 2", 1);
    bad("bare-x", QStringLiteral("x41"), "not hex at line 1, column 1", 0);
    bad("minus-sign", QStringLiteral("-1"), "not hex at line 1, column 1", 0);
    bad("arabic-indic-digits", QStringLiteral("41 \u0664\u0661"), "not hex at line 1, column 4", 3);
    bad("full-width-letter", QStringLiteral("\uff21\uff21"), "not hex at line 1, column 1", 0);
    bad("latin-1-letter", QStringLiteral("4\u00e9"), "not hex at line 1, column 2", 1);
    bad("no-break-space", QStringLiteral("41\u00a042"), "not hex at line 1, column 3", 2);
    bad("vertical-tab", QStringLiteral("41\v42"), "not hex at line 1, column 3", 2);
    bad("nul", QString::fromUtf16(u"41\u000042", 5), "not hex at line 1, column 3", 2);
    bad("semicolon", QStringLiteral("41;42"), "not hex at line 1, column 3", 2);
    bad("after-good-bytes-on-line-3", QStringLiteral("41\n42 43\n44 4"),
        "a byte needs two hex digits at line 3, column 4", 12);
    bad("cr-lf-is-one-break", QStringLiteral("41\r\n\r\n  zz"), "not hex at line 3, column 3", 8);
    bad("lone-crs-are-breaks", QStringLiteral("41\r\r4"),
        "a byte needs two hex digits at line 3, column 1", 4);
    bad("lf-cr-is-two-breaks", QStringLiteral("41\n\rg"), "not hex at line 3, column 1", 4);
    bad("emoji-counts-two-columns", QStringLiteral("41 \U0001F600"), "not hex at line 1, column 4",
        3);
    bad("fault-past-long-runs",
        QStringLiteral("41 ").repeated(20) + QStringLiteral("4142").repeated(8)
                + QStringLiteral("4x"),
        "not hex at line 1, column 94", 93);
    bad("first-fault-wins", QStringLiteral("4g 0x"), "not hex at line 1, column 2", 1);
}

namespace {

// The text in pieces as the field's store keeps it: Latin-1 where it can be.
QAnyStringView piece(const QString &text, std::vector<QByteArray> &latin1)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return text;
    }
    latin1.push_back(text.toLatin1());
    return QLatin1StringView(latin1.back());
}

} // namespace

void tst_HexText::read()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, fault);
    QFETCH(qsizetype, position);

    const HexBytes whole = bytesFromHex(text);
    QCOMPARE(whole.bytes.toHex(), bytes);
    QCOMPARE(whole.fault ? whole.fault->text() : QString(), fault);
    if (whole.fault)
        QCOMPARE(whole.fault->position, position);

    // A byte, a 0x or a CR LF split between two chunks reads as it does whole.
    for (qsizetype cut = 0; cut <= text.size(); ++cut) {
        const QString parts[] = { text.left(cut), text.mid(cut) };
        std::vector<QByteArray> latin1;
        latin1.reserve(2);
        const QAnyStringView pieces[] = { piece(parts[0], latin1), piece(parts[1], latin1) };
        const HexBytes split = bytesFromHex(pieces);
        QCOMPARE(split.bytes, whole.bytes);
        QCOMPARE(split.fault ? split.fault->text() : QString(), fault);
    }
}

QTEST_GUILESS_MAIN(tst_HexText)
#include "tst_hexText.moc"
