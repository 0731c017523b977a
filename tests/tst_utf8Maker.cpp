#include "field/model/TextStore.h"
#include "field/transfer/TextFieldMimeData.h"
#include "field/transfer/Utf8Maker.h"
#include "tests/textMix.h"

#include <QTest>

#include <cstring>

// The UTF-8 of large copies, made on a thread of its own, and the rule that
// keeps one copy's UTF-8 at a time.
class tst_Utf8Maker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void madeFrontToBack_data();
    void madeFrontToBack();
    void releasedWhenNoTransferReads_data();
    void releasedWhenNoTransferReads();
    void oneCopysUtf8IsKept_data();
    void oneCopysUtf8IsKept();
};

namespace {

QString asciiLines(qsizetype units)
{
    const QString line
            = QStringLiteral("0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOP\r\n");
    return line.repeated(units / line.size() + 1);
}

// Waits on the event loop, which brings progressed(), until the maker is done.
#define WAIT_UNTIL_MADE(maker) QTRY_VERIFY_WITH_TIMEOUT((maker).isDone(), 60000)

} // namespace

void tst_Utf8Maker::madeFrontToBack_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("chunkUnits");

    QTest::newRow("empty") << QString() << 64 * 1024;
    QTest::newRow("ascii-lines-in-latin1-chunks") << asciiLines(3 << 20) << 64 * 1024;
    // Odd, small chunks: pairs fall on seams between the pieces the thread takes.
    QTest::newRow("wide-text-pairs-on-seams") << repeatedMix(1 << 20) << 61;
}

void tst_Utf8Maker::madeFrontToBack()
{
    QFETCH(QString, text);
    QFETCH(int, chunkUnits);
    TextStore store({ .chunkUnits = chunkUnits });
    QVERIFY(store.append(QStringView(text)));
    const QByteArray expected = text.toUtf8();
    Utf8Maker maker(store.snapshot());
    // What the thread does to the store's text from here on is none of the copy's.
    store.clear();
    QVERIFY(store.append(QStringView(u"other")));

    // Every time it says it got further, the front it says is ready is final.
    qsizetype lastReady = 0;
    int wrongFronts = 0;
    connect(&maker, &Utf8Maker::progressed, this, [&] {
        const qsizetype ready = maker.ready();
        if (ready < lastReady || ready > expected.size()
            || (ready > 0 && std::memcmp(maker.data(), expected.constData(), ready) != 0))
            ++wrongFronts;
        lastReady = ready;
    });
    WAIT_UNTIL_MADE(maker);
    QCOMPARE(wrongFronts, 0);
    QCOMPARE(maker.size(), expected.size());
    QCOMPARE(maker.bytes(), expected);
}

void tst_Utf8Maker::releasedWhenNoTransferReads_data()
{
    QTest::addColumn<bool>("reading");   // a transfer reads the bytes meanwhile
    QTest::addColumn<bool>("waitFirst"); // release only once the bytes are made

    QTest::newRow("made-then-released") << false << true;
    QTest::newRow("released-while-making") << false << false;
    QTest::newRow("read-made-then-released") << true << true;
    QTest::newRow("read-released-while-making") << true << false;
}

void tst_Utf8Maker::releasedWhenNoTransferReads()
{
    QFETCH(bool, reading);
    QFETCH(bool, waitFirst);
    TextStore store;
    const QString text = asciiLines(8 << 20);
    QVERIFY(store.append(QStringView(text)));
    const QByteArray expected = text.toUtf8();
    Utf8Maker maker(store.snapshot());
    if (reading)
        maker.startReading();
    if (waitFirst)
        WAIT_UNTIL_MADE(maker);
    maker.release();
    QVERIFY(maker.isReleased());
    if (!reading) {
        QCOMPARE(maker.memoryBytes(), 0);
        return;
    }
    // The transfer still gets every byte, and then they go.
    WAIT_UNTIL_MADE(maker);
    QVERIFY(std::memcmp(maker.data(), expected.constData(), expected.size()) == 0);
    QVERIFY(maker.memoryBytes() >= expected.size());
    maker.endReading();
    QCOMPARE(maker.memoryBytes(), 0);
    QVERIFY(maker.bytes().isEmpty());
}

void tst_Utf8Maker::oneCopysUtf8IsKept_data()
{
    // A large copy of [0, n), then the store changes, then a second copy.
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("secondFrom"); // the second copy is [secondFrom, n)
    QTest::addColumn<bool>("secondSmall");
    QTest::addColumn<bool>("shared");    // both copies have one maker
    QTest::addColumn<bool>("firstKept"); // the first copy's UTF-8 is still kept

    QTest::newRow("select-all-then-copy") << "" << 0 << false << true << true;
    QTest::newRow("arrivals-after-it-change-nothing") << "append" << 0 << false << true << true;
    QTest::newRow("an-edit-inside-makes-other-text") << "insert" << 0 << false << false << false;
    QTest::newRow("another-range-is-other-text") << "" << 1 << false << false << false;
    QTest::newRow("a-small-copy-keeps-it") << "" << 0 << true << false << true;
}

void tst_Utf8Maker::oneCopysUtf8IsKept()
{
    QFETCH(QString, change);
    QFETCH(int, secondFrom);
    QFETCH(bool, secondSmall);
    TextStore store;
    const QString text = asciiLines(TextFieldMimeData::madeAheadUnits + 100);
    QVERIFY(store.append(QStringView(text)));
    const qsizetype n = store.length();
    TextFieldMimeData first(store, 0, n);
    QVERIFY(first.isLarge());
    const std::shared_ptr<Utf8Maker> firstMaker = first.utf8Maker();
    QVERIFY(firstMaker);
    if (change == "append")
        QVERIFY(store.append(QStringView(u"more\r\n")));
    else if (change == "insert")
        QVERIFY(store.insert(5, u"X"));
    TextFieldMimeData second(store, secondSmall ? n - 10 : secondFrom, n);
    QCOMPARE(second.isLarge(), !secondSmall);
    QTEST(second.utf8Maker() == firstMaker, "shared");
    QTEST(!firstMaker->isReleased(), "firstKept");

    // Whatever was released, each copy still gives its own text, made again
    // if need be, and then the other one's is the one released.
    QCOMPARE(first.data(QStringLiteral("text/plain")), text.toUtf8());
    QCOMPARE(second.data(QStringLiteral("text/plain;charset=utf-8")),
             store.text(secondSmall ? n - 10 : secondFrom, n).toUtf8());
}

QTEST_GUILESS_MAIN(tst_Utf8Maker)
#include "tst_utf8Maker.moc"
