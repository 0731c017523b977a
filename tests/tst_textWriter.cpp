#include "field/model/TextStore.h"
#include "field/model/TextWriter.h"
#include "tests/asNobody.h"
#include "tests/textMix.h"

#include <QBuffer>
#include <QFile>
#include <QTest>

// The UTF-8 a TextStore's text is saved as, written from its chunks.
class tst_textWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodes_data();
    void encodes();
    void editsDuringWritingStayOut();
    void failedWrites_data();
    void failedWrites();
};

namespace {

// Each piece is appended as Latin-1 when it starts with "L:", else as UTF-16
// after its two-character tag.
void fill(TextStore &store, const QStringList &pieces)
{
    for (const QString &piece : pieces) {
        const QString text = piece.mid(2);
        if (piece.startsWith(u"L:")) {
            const QByteArray latin1 = text.toLatin1();
            QVERIFY(store.append(QLatin1StringView(latin1)));
        } else {
            QVERIFY(store.append(QStringView(text)));
        }
    }
}

QByteArray written(const TextStore &store, qsizetype sliceUnits)
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    TextWriter writer(store.snapshot(), out);
    // Every slice takes at least one unit, so this ends.
    for (qsizetype i = 0; i <= store.length() && !writer.atEnd(); ++i)
        if (!writer.writeSlice(sliceUnits))
            return "failed: " + writer.errorString().toUtf8();
    return writer.atEnd() ? out.data() : QByteArray("did not end");
}

} // namespace

void tst_textWriter::encodes_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<int>("chunkUnits");
    QTest::addColumn<int>("sliceUnits");
    QTest::addColumn<QByteArray>("expected");

    const int big = 64 * 1024;
    QTest::newRow("empty") << QStringList() << big << 100 << QByteArray();
    QTest::newRow("ascii") << QStringList { "L:hello" } << big << 100 << QByteArray("hello");
    QTest::newRow("latin1-above-7f") << QStringList { QStringLiteral("L:caf\u00e9 \u00ff\u0080") }
                                     << big << 100 << QByteArray("caf\xc3\xa9 \xc3\xbf\xc2\x80");
    // A byte above 0x7F deep in a block of sixteen, then ASCII blocks after it.
    const QString blocks = QString(37, u'a') + QChar(0xE9) + QString(60, u'b');
    QTest::newRow("latin1-blocks")
            << QStringList { "L:" + blocks } << big << 100 << blocks.toUtf8();
    QTest::newRow("wide-cyrillic")
            << QStringList { QStringLiteral("U:\u041f\u0440\u0438\u0432\u0435\u0442") } << big
            << 100 << QByteArray("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
    QTest::newRow("cjk-and-emoji") << QStringList { QStringLiteral("U:\u6f22 \U0001F600") } << big
                                   << 100 << QByteArray("\xe6\xbc\xa2 \xf0\x9f\x98\x80");
    QTest::newRow("crlf-lone-cr-lf") << QStringList { "L:a\r\nb\rc\nd\r", "L:\ne" } << big << 100
                                     << QByteArray("a\r\nb\rc\nd\r\ne");
    QTest::newRow("nul-units") << QStringList { QString("L:a") + QChar(0) + "b",
                                                QString("U:\u0436") + QChar(0) }
                               << big << 100 << QByteArray("a\0b\xd0\xb6\0", 6);
    QTest::newRow("pair-across-chunk-seam")
            << QStringList { QStringLiteral("U:abc\U0001F600def") } << 4 << 100
            << QByteArray("abc\xf0\x9f\x98\x80"
                          "def");
    QTest::newRow("pair-across-slice-seam")
            << QStringList { QStringLiteral("U:\U0001F600\U0001F600") } << big << 1
            << QByteArray("\xf0\x9f\x98\x80\xf0\x9f\x98\x80");
    QTest::newRow("pair-in-pieces")
            << QStringList { QString("U:x") + QChar(0xD83D), QString("U:") + QChar(0xDE00) } << big
            << 2 << QByteArray("x\xf0\x9f\x98\x80");
    QTest::newRow("lone-high-at-end") << QStringList { QString("U:a") + QChar(0xD800) } << big
                                      << 100 << QByteArray("a\xef\xbf\xbd");
    QTest::newRow("lone-high-at-chunk-seam")
            << QStringList { QString("U:abc") + QChar(0xD800) + "def" } << 4 << 100
            << QByteArray("abc\xef\xbf\xbd"
                          "def");
    QTest::newRow("lone-low") << QStringList { QString("U:") + QChar(0xDC00) + "b" } << big << 100
                              << QByteArray("\xef\xbf\xbd"
                                            "b");
    QTest::newRow("high-then-pair")
            << QStringList { QString("U:") + QChar(0xD800) + QChar(0xD800) + QChar(0xDC00) } << big
            << 100 << QByteArray("\xef\xbf\xbd\xf0\x90\x80\x80");
    QTest::newRow("latin1-chunk-then-wide-chunk")
            << QStringList { QStringLiteral("L:abc\u00e9"), QStringLiteral("U:\u0436z") } << 4
            << 100 << QByteArray("abc\xc3\xa9\xd0\xb6z");
    const QString longLine(100000, u'x');
    QTest::newRow("long-line") << QStringList { "L:" + longLine } << big << 4096
                               << longLine.toUtf8();
    const QString mix = repeatedMix(200000);
    QTest::newRow("mix-small-chunks-odd-slices")
            << QStringList { "U:" + mix } << 61 << 997 << mix.toUtf8();
}

void tst_textWriter::encodes()
{
    QFETCH(QStringList, pieces);
    QFETCH(int, chunkUnits);
    QFETCH(int, sliceUnits);
    QFETCH(QByteArray, expected);

    TextStore::Limits limits;
    limits.chunkUnits = chunkUnits;
    TextStore store(limits);
    fill(store, pieces);
    QCOMPARE(written(store, sliceUnits), expected);
}

void tst_textWriter::editsDuringWritingStayOut()
{
    // Arrivals and the user's edits go on while a save writes: the file is
    // the text as it was at the start, whatever moves, widens or goes.
    TextStore::Limits limits;
    limits.chunkUnits = 8;
    TextStore store(limits);
    QVERIFY(store.append(QLatin1StringView("abcdefghij\r")));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    TextWriter writer(store.snapshot(), out);
    for (int i = 0; i < 100 && !writer.atEnd(); ++i) {
        QVERIFY(writer.writeSlice(2));
        QVERIFY(store.append(QStringView(u"\n\u0436")));
        QVERIFY(store.insert(1, u"x"));
        store.remove(3, 2);
        if (i == 3)
            store.clear();
    }
    QVERIFY(writer.atEnd());
    QCOMPARE(out.data(), QByteArray("abcdefghij\r"));
    QCOMPARE(writer.bytesWritten(), 11);
}

void tst_textWriter::failedWrites_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("cause");
    // What a full disk does to every write.
    QTest::newRow("full-device") << QStringLiteral("/dev/full")
                                 << QStringLiteral("No space left on device");
    QTest::newRow("not-open") << QString() << QString();
}

void tst_textWriter::failedWrites()
{
    QFETCH(QString, device);
    QFETCH(QString, cause);
    if (!device.isEmpty())
        SKIP_UNLESS_LINUX("/dev/full");
    QFile out(device);
    if (!device.isEmpty() && !out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        QSKIP(qPrintable(device + QStringLiteral(" cannot be opened here: ") + out.errorString()));
    TextStore store;
    const QString text = repeatedMix(100000);
    QVERIFY(store.append(QStringView(text)));
    TextWriter writer(store.snapshot(), out);
    QVERIFY(!writer.writeSlice(4096));
    QVERIFY(!writer.errorString().isEmpty());
    QVERIFY2(writer.errorString().contains(cause), qPrintable(writer.errorString()));
    QCOMPARE(writer.done(), 0);
    // A failed writer stays failed.
    QVERIFY(!writer.writeSlice(4096));
}

QTEST_GUILESS_MAIN(tst_textWriter)
#include "tst_textWriter.moc"
