#include "text/hexText.h"

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
    QTest::addColumn<QByteArray>("bytes"); // as hex; empty on a fault
    QTest::addColumn<QString>("fault");    // empty when the text is read whole

    const auto row = [](const char *name, const QString &text, const QByteArray &hex) {
        QTest::newRow(name) << text << hex << QString();
    };
    const auto bad = [](const char *name, const QString &text, const char *fault, int line,
                        int column) {
        QTest::newRow(name)
                << text << QByteArray()
                << QStringLiteral("%1 at line %2, column %3").arg(fault).arg(line).arg(column);
    };
    const char *const cutShort = "a byte needs two hex digits";
    const char *const notHex = "not hex";
    QString every, spaced;
    for (int value = 0; value < 256; ++value) {
        every += QString::number(value, 16).rightJustified(2, u'0');
        spaced += every.right(2).toUpper() + (value % 16 == 15 ? "\r\n" : " ");
    }
    row("empty", "", "");
    row("separators-only", " \t,\r\n,,", "");
    row("packed", "48656C6C6F20776F726C640d0A", "48656c6c6f20776f726c640d0a");
    row("spaced-mixed-case", "48 65 6c 6C aB", "48656c6cab");
    row("c-array-lines", "0x48, 0x65,\n0X6c,\r\n0x6C,\r0x6f,", "48656c6c6f");
    row("prefix-right-after-a-byte", "480x65 000x00", "48650000");
    row("every-byte-spaced-lines", spaced, every.toLatin1());
    bad("odd-digit-at-end", "486", cutShort, 1, 3);
    bad("split-byte", "4 8", cutShort, 1, 1);
    bad("prefix-alone", "41 0x", cutShort, 1, 4);
    bad("prefix-then-space", "0x 41", cutShort, 1, 1);
    bad("lone-crs-are-breaks", "41\r\r4", cutShort, 3, 1);
    bad("stray-g", "48g9", notHex, 1, 3);
    bad("g-after-one-digit", "4g", notHex, 1, 2);
    bad("g-after-prefix", "0xg1", notHex, 1, 3);
    bad("two-prefixes", "0x0x41", notHex, 1, 4);
    bad("x-after-a-byte", "00x41", notHex, 1, 3);
    bad("arabic-indic-digits", "41 \u0664\u0661", notHex, 1, 4);
    bad("full-width-letter", "\uff21\uff21", notHex, 1, 1);
    bad("nul", QString::fromUtf16(u"41\u000042", 5), notHex, 1, 3);
    bad("cr-lf-is-one-break", "41\r\n\r\n  zz", notHex, 3, 3);
    bad("emoji-counts-two-columns", "41 \U0001F600", notHex, 1, 4);
    bad("fault-past-long-runs", QString("41 ").repeated(20) + QString("4142").repeated(8) + "4x",
        notHex, 1, 94);
}

void tst_HexText::read()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, fault);

    // Whole, and cut anywhere into two pieces kept as the field's store keeps
    // them (Latin-1 where they can be): a byte, a 0x or a CR LF split between
    // two chunks reads as it does whole.
    for (qsizetype cut = 0; cut <= text.size(); ++cut) {
        const QString parts[] = { text.left(cut), text.mid(cut) };
        std::vector<QByteArray> latin1 { parts[0].toLatin1(), parts[1].toLatin1() };
        std::vector<QAnyStringView> pieces;
        for (int i = 0; i < 2; ++i) {
            const bool narrow = QString::fromLatin1(latin1[i]) == parts[i];
            pieces.push_back(narrow ? QAnyStringView(QLatin1StringView(latin1[i]))
                                    : QAnyStringView(parts[i]));
        }
        const HexBytes read = bytesFromHex(pieces);
        QCOMPARE(read.bytes.toHex(), bytes);
        QCOMPARE(read.fault ? read.fault->text() : QString(), fault);
    }
}

QTEST_GUILESS_MAIN(tst_HexText)
#include "tst_hexText.moc"
