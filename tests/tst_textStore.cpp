#include "field/model/TextStore.h"

#include "field/memory/ChunkMemory.h"

#include <QTest>

#include <algorithm>

class tst_TextStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void appendedParagraphs_data();
    void appendedParagraphs();
    void edits_data();
    void edits();
    void largeInsertMatchesAppend_data();
    void largeInsertMatchesAppend();
    void readsBackEveryUnit_data();
    void readsBackEveryUnit();
    void refusesPastCapacity();
    void plainTextTakesAByteAndClearGivesItBack();
    void droppedStorageWaitsForRelease_data();
    void droppedStorageWaitsForRelease();
    void utf8ComesStraightFromTheChunks_data();
    void utf8ComesStraightFromTheChunks();
    void snapshotsKeepTheirText_data();
    void snapshotsKeepTheirText();
    void chunkMemoryGoesBackWithItsLastHolder();
    void marksFollowEdits_data();
    void marksFollowEdits();
};

namespace {

// The paragraphs of the text with the length of the break after each; every
// position belongs to the paragraph it lies in or to the break after it.
void checkParagraphs(const TextStore &log, const QStringList &paragraphs, const QList<int> &breaks)
{
    QVERIFY2(log.checkInvariants().isEmpty(), qPrintable(log.checkInvariants()));
    QCOMPARE(log.paragraphCount(), paragraphs.size());
    qsizetype start = 0;
    qsizetype lineStart = 0;
    for (qsizetype k = 0; k < paragraphs.size(); ++k) {
        const TextStore::Paragraph paragraph = log.paragraph(k);
        QCOMPARE(paragraph.start, start);
        QCOMPARE(log.text(start, start + paragraph.length), paragraphs[k]);
        QCOMPARE(paragraph.breakLength, breaks[k]);
        const qsizetype end = start + paragraph.length + paragraph.breakLength;
        const bool last = k + 1 == paragraphs.size();
        for (qsizetype position = start; position < end + (last ? 1 : 0); ++position) {
            QCOMPARE(log.paragraphAt(position), k);
            QCOMPARE(log.lineStart(position), lineStart);
        }
        start = end;
        if (paragraph.breakLength > 0)
            lineStart = end;
    }
    QCOMPARE(start, log.length());
}

} // namespace

void tst_TextStore::appendedParagraphs_data()
{
    QTest::addColumn<int>("chunkUnits");
    QTest::addColumn<int>("paragraphUnits");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QStringList>("paragraphs");
    QTest::addColumn<QList<int>>("breaks");

    const auto row = [](const char *name, int chunk, int paragraph, const QStringList &pieces,
                        const QStringList &paragraphs, const QList<int> &breaks) {
        QTest::newRow(name) << chunk << paragraph << pieces << paragraphs << breaks;
    };
    row("empty", 64, 64, {}, { "" }, { 0 });
    row("one-line", 64, 64, { "abc" }, { "abc" }, { 0 });
    row("lone-lf", 64, 64, { "a\nb" }, { "a", "b" }, { 1, 0 });
    row("lone-cr", 64, 64, { "a\rb" }, { "a", "b" }, { 1, 0 });
    row("crlf", 64, 64, { "a\r\nb" }, { "a", "b" }, { 2, 0 });
    row("lf-cr-is-two-breaks", 64, 64, { "a\n\rb" }, { "a", "", "b" }, { 1, 1, 0 });
    row("cr-then-crlf", 64, 64, { "\r\r\n" }, { "", "", "" }, { 1, 2, 0 });
    row("trailing-break", 64, 64, { "a\n" }, { "a", "" }, { 1, 0 });
    row("crlf-split", 64, 64, { "a\r", "\nb" }, { "a", "b" }, { 2, 0 });
    row("crlf-split-by-empty-piece", 64, 64, { "a\r", "", "\n" }, { "a", "" }, { 2, 0 });
    row("cr-then-later-lf", 64, 64, { "a\r", "b", "\n" }, { "a", "b", "" }, { 1, 1, 0 });
    row("crlf-at-chunk-seam", 4, 64, { "abc\r\nd" }, { "abc", "d" }, { 2, 0 });
    row("crlf-split-at-chunk-seam", 4, 64, { "abc\r", "\nd" }, { "abc", "d" }, { 2, 0 });
    row("crlf-unit-by-unit", 2, 64, { "a", "\r", "\n", "\r", "\n" }, { "a", "", "" }, { 2, 2, 0 });
    row("long-line-cut", 64, 4, { "abcdefghij" }, { "abcd", "efgh", "ij" }, { 0, 0, 0 });
    row("line-of-whole-paragraphs", 64, 4, { "abcdefgh\nx" }, { "abcd", "efgh", "x" }, { 0, 1, 0 });
    row("cuts-count-from-line-start", 64, 4, { "ab\r\ncdefghi" }, { "ab", "cdef", "ghi" },
        { 2, 0, 0 });
    row("cut-at-chunk-seam", 4, 4, { "abcdefghi" }, { "abcd", "efgh", "i" }, { 0, 0, 0 });
    row("cuts-stay-put-across-pieces", 3, 4, { "abcde", "fg", "hij\nk" },
        { "abcd", "efgh", "ij", "k" }, { 0, 0, 1, 0 });
    row("zero-units", 4, 64, { QString::fromLatin1("a\0b\n\0", 5) },
        { QString::fromLatin1("a\0b", 3), QString(1, u'\0') }, { 1, 0 });
    row("only-cr-and-lf-break", 64, 64, { "a\u2028b\u2029c\u0085d\x0B\x0C" },
        { "a\u2028b\u2029c\u0085d\x0B\x0C" }, { 0 });
    row("surrogate-pairs", 4, 64, { "\U0001F600\n\U0001F600" }, { "\U0001F600", "\U0001F600" },
        { 1, 0 });
    row("latin1-chunk-widened", 8, 64, { "ab\u00E9\r", "\n\u4E2D" }, { "ab\u00E9", "\u4E2D" },
        { 2, 0 });
    // Breaks are searched sixteen units at a time: a CR LF across two blocks, an LF ending one.
    row("crlf-across-a-block", 64, 64, { QString(15, u'a') + "\r\n" + QString(14, u'b') + "\nc" },
        { QString(15, u'a'), QString(14, u'b'), "c" }, { 2, 1, 0 });
}

void tst_TextStore::appendedParagraphs()
{
    QFETCH(int, chunkUnits);
    QFETCH(int, paragraphUnits);
    QFETCH(QStringList, pieces);
    QFETCH(QStringList, paragraphs);
    QFETCH(QList<int>, breaks);

    TextStore log({ .chunkUnits = chunkUnits, .paragraphUnits = paragraphUnits });
    for (const QString &piece : pieces)
        QVERIFY(log.append(piece));
    QCOMPARE(log.text(), pieces.join(QString()));
    checkParagraphs(log, paragraphs, breaks);

    // The same through the Latin-1 door a stream's ASCII takes, copied in by the break search.
    if (std::any_of(pieces.begin(), pieces.end(), [](const QString &piece) {
            return std::any_of(piece.begin(), piece.end(),
                               [](QChar c) { return c.unicode() > 0xFF; });
        }))
        return;
    TextStore narrow({ .chunkUnits = chunkUnits, .paragraphUnits = paragraphUnits });
    for (const QString &piece : pieces)
        QVERIFY(narrow.append(QLatin1StringView(piece.toLatin1())));
    QCOMPARE(narrow.text(), pieces.join(QString()));
    checkParagraphs(narrow, paragraphs, breaks);
}

void tst_TextStore::edits_data()
{
    QTest::addColumn<int>("chunkUnits");
    QTest::addColumn<int>("paragraphUnits");
    QTest::addColumn<QString>("initial");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("removed");
    QTest::addColumn<QString>("inserted");
    QTest::addColumn<QStringList>("paragraphs");
    QTest::addColumn<QList<int>>("breaks");

    const auto row = [](const char *name, int chunk, int paragraph, const QString &initial,
                        int position, int removed, const QString &inserted,
                        const QStringList &paragraphs, const QList<int> &breaks) {
        QTest::newRow(name) << chunk << paragraph << initial << position << removed << inserted
                            << paragraphs << breaks;
    };
    row("insert-spanning-chunks", 4, 64, "abcdefghij", 5, 0, "XYZXYZXYZ", { "abcdeXYZXYZXYZfghij" },
        { 0 });
    row("remove-spanning-chunks", 4, 64, "ab\ncdefgh\nij", 1, 8, "", { "a", "ij" }, { 1, 0 });
    row("remove-lf-of-crlf", 64, 64, "a\r\nb", 2, 1, "", { "a", "b" }, { 1, 0 });
    row("remove-cr-of-crlf", 64, 64, "a\r\nb", 1, 1, "", { "a", "b" }, { 1, 0 });
    row("insert-into-crlf", 64, 64, "a\r\nb", 2, 0, "x", { "a", "x", "b" }, { 1, 1, 0 });
    row("insert-lf-after-cr", 4, 64, "ab\rdefgh", 3, 0, "\n", { "ab", "defgh" }, { 2, 0 });
    row("removal-joins-cr-and-lf", 64, 64, "a\rxy\nb", 2, 2, "", { "a", "b" }, { 2, 0 });
    row("removal-joins-cr-and-lf-across-chunks", 4, 64, "ab\rxyzw\ncd", 3, 4, "", { "ab", "cd" },
        { 2, 0 });
    row("removed-chunk-joins-cr-and-lf", 4, 64, "ab\r\rxyz\ncd", 3, 4, "", { "ab", "cd" },
        { 2, 0 });
    row("lf-inserted-after-chunk-ending-in-cr", 4, 64, "ab\r\rxyz", 3, 0, "\n", { "ab", "", "xyz" },
        { 2, 1, 0 });
    row("removal-leaves-cr-before-chunk-of-lf", 4, 64, "a\rbc\nxyz", 2, 2, "", { "a", "xyz" },
        { 2, 0 });
    row("insert-at-start-moves-cuts", 4, 4, "abcdef", 0, 0, "xy", { "xyab", "cdef" }, { 0, 0 });
    row("break-into-long-line", 64, 4, "abcdefghij", 5, 0, "\n", { "abcd", "e", "fghi", "j" },
        { 0, 1, 0, 0 });
    row("remove-break-joins-lines", 3, 4, "abc\ndefg", 3, 1, "", { "abcd", "efg" }, { 0, 0 });
    row("replace-across-many-chunks", 2, 3, "a\r\nbcdefg\rh", 2, 8, "\u4E2D\n\r\n",
        { "a", "\u4E2D", "", "h" }, { 1, 1, 2, 0 });
    row("remove-tail-to-a-break", 4, 64, "a\nbcdefg", 2, 6, "", { "a", "" }, { 1, 0 });
    row("remove-clamped-to-end", 4, 64, "abcdefg", 1, 100, "", { "a" }, { 0 });
    row("remove-everything", 4, 64, "ab\ncd", 0, 5, "", { "" }, { 0 });
    row("insert-at-end-joins-crlf", 4, 64, "abc\r", 4, 0, "\nd", { "abc", "d" }, { 2, 0 });
    // Pieces of a chunk or more, which go into chunks of their own.
    row("large-insert-at-chunk-start", 4, 64, "abcdefgh", 4, 0, "012345", { "abcd012345efgh" },
        { 0 });
    row("large-insert-moves-cuts", 4, 4, "abcdefgh", 6, 0, "012345",
        { "abcd", "ef01", "2345", "gh" }, { 0, 0, 0, 0 });
    row("large-lf-piece-after-chunk-ending-in-cr", 4, 64, "ab\r\rxyz", 3, 0, "\nlong",
        { "ab", "long", "xyz" }, { 2, 1, 0 });
    row("large-piece-ending-in-cr-before-lf", 4, 64, "ab\ncd", 2, 0, "wxyz\r", { "abwxyz", "cd" },
        { 2, 0 });
    row("large-piece-crlf-where-chunk-fills", 4, 64, "abcdefgh", 1, 0, "xy\r\nzz",
        { "axy", "zzbcdefgh" }, { 2, 0 });
    row("large-piece-into-crlf", 4, 64, "abc\r\nd", 4, 0, "wxyz", { "abc", "wxyz", "d" },
        { 1, 1, 0 });
    row("large-wide-piece", 4, 64, "abcdefgh", 3, 0, "\u4E2D\u6587\u4E2D\u6587x",
        { "abc\u4E2D\u6587\u4E2D\u6587xdefgh" }, { 0 });
}

void tst_TextStore::edits()
{
    QFETCH(int, chunkUnits);
    QFETCH(int, paragraphUnits);
    QFETCH(QString, initial);
    QFETCH(int, position);
    QFETCH(int, removed);
    QFETCH(QString, inserted);
    QFETCH(QStringList, paragraphs);
    QFETCH(QList<int>, breaks);

    TextStore log({ .chunkUnits = chunkUnits, .paragraphUnits = paragraphUnits });
    QVERIFY(log.append(initial));
    log.remove(position, removed);
    QVERIFY(log.insert(position, inserted));
    QCOMPARE(log.text(), QString(initial).remove(position, removed).insert(position, inserted));
    checkParagraphs(log, paragraphs, breaks);
}

void tst_TextStore::largeInsertMatchesAppend_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<qsizetype>("position");
    QTest::addColumn<QString>("piece");

    // At the sizes a paste brings, with the store's own limits.
    QString hex(qsizetype(1) << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < hex.size(); ++i)
        hex[i] = QLatin1Char("0123456789abcdef"[(i * 7) % 16]);
    const QString lines = QStringLiteral("0123456\r\n").repeated(30000);
    QTest::newRow("hex-line-into-a-long-line") << QString(200000, u'a') << qsizetype(100001) << hex;
    QTest::newRow("hex-line-at-the-start") << QString(200000, u'a') << qsizetype(0) << hex;
    QTest::newRow("lines-into-lines-ending-in-cr")
            << lines << qsizetype(65536) << QStringLiteral("\nx\r").repeated(50000);
    QTest::newRow("lf-piece-into-a-crlf") << lines << qsizetype(8) << u'\n' + QString(100000, u'b');
    QTest::newRow("wide-piece") << lines << qsizetype(150001)
                                << QStringLiteral("\u4E2D\U0001F600").repeated(40000);
}

void tst_TextStore::largeInsertMatchesAppend()
{
    QFETCH(QString, initial);
    QFETCH(qsizetype, position);
    QFETCH(QString, piece);

    TextStore edited;
    QVERIFY(edited.append(initial));
    QVERIFY(edited.insert(position, piece));
    // The same text appended whole must be described the same way.
    const QString expected = QString(initial).insert(position, piece);
    TextStore whole;
    QVERIFY(whole.append(expected));
    QVERIFY(edited.text() == expected);
    QVERIFY2(edited.checkInvariants().isEmpty(), qPrintable(edited.checkInvariants()));
    QCOMPARE(edited.paragraphCount(), whole.paragraphCount());
    for (qsizetype k = 0; k < whole.paragraphCount(); ++k) {
        const TextStore::Paragraph got = edited.paragraph(k);
        const TextStore::Paragraph want = whole.paragraph(k);
        QCOMPARE(got.start, want.start);
        QCOMPARE(got.length, want.length);
        QCOMPARE(got.breakLength, want.breakLength);
    }
    for (const qsizetype at : { qsizetype(0), position, position + piece.size() - 1,
                                position + piece.size(), edited.length() })
        QCOMPARE(edited.paragraphAt(at), whole.paragraphAt(at));
}

void tst_TextStore::readsBackEveryUnit_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::addColumn<int>("pieceUnits");
    QTest::newRow("latin1") << 0 << 0xFF << 7;
    QTest::newRow("every-unit-one-piece") << 0 << 0xFFFF << 0x10000;
    QTest::newRow("every-unit-in-pieces") << 0 << 0xFFFF << 13;
    QTest::newRow("surrogates-and-noncharacters") << 0xD7F0 << 0xFFFF << 5;
}

void tst_TextStore::readsBackEveryUnit()
{
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(int, pieceUnits);
    QString all;
    for (int unit = first; unit <= last; ++unit)
        all += QChar(char16_t(unit));

    TextStore log({ .chunkUnits = 11, .paragraphUnits = 5 });
    for (qsizetype at = 0; at < all.size(); at += pieceUnits)
        QVERIFY(log.append(QStringView(all).mid(at, pieceUnits)));
    QCOMPARE(log.text(), all);
    for (qsizetype i = 0; i < all.size(); ++i)
        QCOMPARE(log.at(i), all[i]);
    for (qsizetype from : { 0, 3, 10, 11, 12, 200 }) {
        for (qsizetype to : { from, from + 1, from + 11, from + 40, all.size() })
            QCOMPARE(log.text(from, to), all.mid(from, to - from));
    }
}

void tst_TextStore::refusesPastCapacity()
{
    TextStore log({ .chunkUnits = 4, .paragraphUnits = 4, .capacity = 10 });
    QVERIFY(log.append(u"abcdefgh"));
    QVERIFY(!log.append(u"xyz"));
    QVERIFY(!log.insert(2, u"xyz"));
    QCOMPARE(log.text(), QStringLiteral("abcdefgh"));
    QVERIFY(log.append(u"ij"));
    QVERIFY(!log.append(u"k"));
    QVERIFY(log.append(u""));
    log.remove(0, 3);
    QVERIFY(log.insert(0, u"xyz"));
    QCOMPARE(log.text(), QStringLiteral("xyzdefghij"));
}

void tst_TextStore::plainTextTakesAByteAndClearGivesItBack()
{
    TextStore log;
    const QString line = QString(99, u'x') + QStringLiteral("\r\n");
    const QString piece = line.repeated(1000);
    // Enough that clear() keeps its storage aside.
    const int pieces = 400;
    for (int i = 0; i < pieces; ++i)
        QVERIFY(log.append(piece));
    const qsizetype units = log.length();
    QCOMPARE(log.paragraphCount(), pieces * 1000 + 1);
    QCOMPARE(log.paragraphAt(units - 2), pieces * 1000 - 1);
    QVERIFY2(log.memoryBytes() < units * 11 / 10, QByteArray::number(log.memoryBytes()));

    // A wide character widens the chunk it lands in, not the others.
    QVERIFY(log.append(u"\u4E2D\r"));
    const qsizetype held = log.memoryBytes();
    QVERIFY2(held < units * 12 / 10, QByteArray::number(held));

    // Enough to be kept aside: the text is empty at once, the storage waits.
    log.clear();
    QCOMPARE(log.length(), 0);
    QCOMPARE(log.paragraphCount(), 1);
    QVERIFY(log.hasMemoryToRelease());
    QVERIFY(log.memoryBytes() > units);
    // The CR before the clear is gone with it: this LF is a break of its own.
    QVERIFY(log.append(u"\nb"));
    checkParagraphs(log, { "", "b" }, { 1, 0 });

    // Each call but the last gives back at least the budget.
    const qsizetype budget = qsizetype(16) << 20;
    int calls = 1;
    while (log.releaseMemory(budget))
        ++calls;
    QVERIFY2(calls <= held / budget + 1, QByteArray::number(calls));
    QVERIFY(!log.hasMemoryToRelease());
    QVERIFY2(log.memoryBytes() < 1024, QByteArray::number(log.memoryBytes()));
    QCOMPARE(log.text(), QStringLiteral("\nb"));
}

void tst_TextStore::droppedStorageWaitsForRelease_data()
{
    QTest::addColumn<int>("keepAsideBytes");
    QTest::addColumn<int>("position"); // -1 for clear()
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("keptAside");

    // The text below is 100 full chunks of 64 one-byte units.
    QTest::newRow("clear-below-the-threshold") << 6401 << -1 << 6400 << false;
    QTest::newRow("clear-at-the-threshold") << 6400 << -1 << 6400 << true;
    QTest::newRow("remove-everything") << 1024 << 0 << 6400 << true;
    QTest::newRow("remove-most") << 1024 << 10 << 6000 << true;
    QTest::newRow("remove-a-little") << 1024 << 10 << 100 << false;
    QTest::newRow("anything-kept-aside") << 0 << 3000 << 1 << true;
}

void tst_TextStore::droppedStorageWaitsForRelease()
{
    QFETCH(int, keepAsideBytes);
    QFETCH(int, position);
    QFETCH(int, count);
    QFETCH(bool, keptAside);

    TextStore log({ .chunkUnits = 64, .paragraphUnits = 16, .keepAsideBytes = keepAsideBytes });
    QString model = QStringLiteral("0123456789abcde\n").repeated(400);
    QVERIFY(log.append(model));
    const qsizetype before = log.memoryBytes();
    if (position < 0) {
        log.clear();
        model.clear();
    } else {
        log.remove(position, count);
        model.remove(position, count);
    }
    QCOMPARE(log.hasMemoryToRelease(), keptAside);
    if (!keptAside)
        QVERIFY2(log.memoryBytes() <= before - count + 64, QByteArray::number(log.memoryBytes()));
    // The text is edited at once, and takes more while its old storage waits.
    QVERIFY(log.append(u"tail\r"));
    model += u"tail\r";
    QCOMPARE(log.text(), model);
    QCOMPARE(log.paragraphCount(), model.count(u'\n') + 2);

    // Each call but the last gives back the budget, two chunks, and no more.
    const qsizetype budget = 128;
    const qsizetype held = log.memoryBytes();
    qsizetype left = held;
    int calls = 0;
    for (bool more = log.hasMemoryToRelease(); more; ++calls) {
        more = log.releaseMemory(budget);
        const qsizetype freed = left - log.memoryBytes();
        left = log.memoryBytes();
        QVERIFY2(more ? freed == budget : freed > 0, QByteArray::number(freed));
    }
    QVERIFY(!log.releaseMemory(budget));
    QVERIFY(!log.hasMemoryToRelease());
    QCOMPARE(calls > 0, keptAside);
    QVERIFY2(held - left >= (keptAside ? count : 0), QByteArray::number(held - left));
    QCOMPARE(log.text(), model);
}

void tst_TextStore::utf8ComesStraightFromTheChunks_data()
{
    QTest::addColumn<QStringList>("pieces"); // appended one by one to chunks of 4 units
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to"); // -1: the end
    QTest::addColumn<QByteArray>("expected");

    const QString nul(QChar(0));
    QTest::newRow("empty") << QStringList {} << 0 << -1 << QByteArray();
    QTest::newRow("ascii-across-chunks")
            << QStringList { "abcdefghij" } << 0 << -1 << QByteArray("abcdefghij");
    QTest::newRow("ascii-longer-than-a-vector") << QStringList { QString(37, u'x') + "\r\n" } << 0
                                                << -1 << QByteArray(37, 'x') + "\r\n";
    QTest::newRow("nul-kept") << QStringList { "a" + nul + "b" + nul } << 0 << -1
                              << QByteArray("a\0b\0", 4);
    QTest::newRow("latin1-above-ascii") << QStringList { QStringLiteral("caf\u00e9 \u00ff") } << 0
                                        << -1 << QByteArray("caf\xc3\xa9 \xc3\xbf");
    QTest::newRow("wide-cyrillic") << QStringList { QStringLiteral("\u043f\u0440\u0438\u0432") }
                                   << 1 << 3 << QByteArray("\xd1\x80\xd0\xb8");
    QTest::newRow("latin1-then-wide-chunk") << QStringList { "abcd", QStringLiteral("\u20ac!") }
                                            << 2 << -1 << QByteArray("cd\xe2\x82\xac!");
    // U+1F600 as a pair whose halves lie in two chunks.
    QTest::newRow("pair-split-across-chunks")
            << QStringList { QStringLiteral("\u0100bc\xd83d"), QStringLiteral("\xde00z") } << 2
            << -1 << QByteArray("c\xf0\x9f\x98\x80z");
    QTest::newRow("lone-high-at-the-end") << QStringList { QStringLiteral("\u0100\xd83d") } << 0
                                          << -1 << QByteArray("\xc4\x80\xef\xbf\xbd");
    QTest::newRow("lone-low") << QStringList { QStringLiteral("\xde00\u0100") } << 0 << -1
                              << QByteArray("\xef\xbf\xbd\xc4\x80");
    QTest::newRow("high-then-latin1-chunk")
            << QStringList { QStringLiteral("\u0100\u0101\u0102\xd83d"), "abc" } << 3 << -1
            << QByteArray("\xef\xbf\xbd"
                          "abc");
    QTest::newRow("range-past-the-end-is-clamped")
            << QStringList { "abc" } << 1 << 99 << QByteArray("bc");
}

void tst_TextStore::utf8ComesStraightFromTheChunks()
{
    QFETCH(QStringList, pieces);
    QFETCH(int, from);
    QFETCH(int, to);
    TextStore store({ .chunkUnits = 4 });
    for (const QString &piece : pieces)
        QVERIFY(store.append(piece));
    QTEST(store.utf8(from, to < 0 ? store.length() : to), "expected");
    QTEST(store.snapshot(from, to < 0 ? store.length() : to).utf8(), "expected");
    // Without surrogates, the same as Qt's own conversion (which writes '?'
    // for a lone one, where other programs expect U+FFFD).
    const QString text = store.text(from, to < 0 ? store.length() : to);
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); }))
        QCOMPARE(store.utf8(from, to < 0 ? store.length() : to), text.toUtf8());
}

void tst_TextStore::snapshotsKeepTheirText_data()
{
    // An edit made after the snapshot was taken, on a text of chunks of 4 units.
    QTest::addColumn<QString>("edit");
    for (const char *edit : { "append", "append-wide", "insert", "insert-wide", "remove",
                              "remove-all", "clear", "take-and-put" })
        QTest::newRow(edit) << QString::fromLatin1(edit);
}

void tst_TextStore::snapshotsKeepTheirText()
{
    QFETCH(QString, edit);
    TextStore store({ .chunkUnits = 4, .keepAsideBytes = 0 });
    const QString text = QStringLiteral("ab\r\ncdefg\u0436hij\r");
    QVERIFY(store.append(text));
    const TextSnapshot whole = store.snapshot();
    const TextSnapshot part = store.snapshot(3, 13);
    if (edit == "append")
        QVERIFY(store.append(QStringView(u"\nxyz")));
    else if (edit == "append-wide")
        QVERIFY(store.append(QStringView(u"\u20ac\u20ac\u20ac")));
    else if (edit == "insert")
        QVERIFY(store.insert(5, u"INSERTED"));
    else if (edit == "insert-wide")
        QVERIFY(store.insert(1, u"\u20ac"));
    else if (edit == "remove")
        store.remove(2, 6);
    else if (edit == "remove-all")
        store.remove(0, store.length());
    else if (edit == "clear")
        store.clear();
    else if (edit == "take-and-put") {
        TextStore::Taken taken = store.take(1, 12);
        QVERIFY(store.put(0, taken));
    }
    while (store.releaseMemory(1)) { }
    QCOMPARE(whole.text(), text);
    QCOMPARE(whole.utf8(), text.toUtf8());
    QCOMPARE(part.text(), text.mid(3, 10));
    QCOMPARE(part.length(), 10);
    QString pieces;
    for (const QAnyStringView piece : part.stored().pieces(2, 99))
        pieces += piece.toString();
    QCOMPARE(pieces, text.mid(5, 8));
    // The end of its chunk.
    QCOMPARE((*whole.stored().pieces(7, whole.length()).begin()).toString(), text.mid(7, 1));
}

void tst_TextStore::chunkMemoryGoesBackWithItsLastHolder()
{
    // While a chunk is held: a spare region, and perhaps one being filled in, at most.
    const qsizetype spare = 2 * ChunkMemory::regionBytes;
    const qsizetype before = ChunkMemory::mappedBytes();
    const QString line = QStringLiteral("0123456789abcdef\r\n").repeated(4096);
    {
        TextStore store;
        for (int i = 0; i < 2000; ++i)
            QVERIFY(store.append(line));
        const QString wide = QStringLiteral("\u0436").repeated(1 << 20);
        QVERIFY(store.append(wide));
        if (ChunkMemory::mappedBytes() == 0)
            QSKIP("this build takes every chunk from the heap (ChunkMemoryHeap.cpp)");
        QVERIFY(ChunkMemory::mappedBytes() >= store.length());
        const TextSnapshot kept = store.snapshot(store.length() - wide.size(), store.length());
        store.clear();
        while (store.releaseMemory(qsizetype(1) << 30)) { }
        // The snapshot still reads what it holds, in a region or two; the rest is back.
        QVERIFY2(ChunkMemory::mappedBytes() <= before + spare + 2 * ChunkMemory::regionBytes,
                 QByteArray::number(ChunkMemory::mappedBytes()));
        QCOMPARE(kept.text(), wide);
    }
    // With no chunk left anywhere, the spare goes back too (once filled in).
    QTRY_COMPARE_WITH_TIMEOUT(ChunkMemory::mappedBytes(), qsizetype(0), 5000);
}

void tst_TextStore::marksFollowEdits_data()
{
    // Marks at 0, 3, 5 and 10 of "abcdefghij" (chunks of 4 units), then one edit.
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QList<qsizetype>>("expected");
    QTest::newRow("append-moves-a-mark-at-the-end") << "append" << QList<qsizetype> { 0, 3, 5, 12 };
    QTest::newRow("insert-at-a-mark-moves-it") << "insert" << QList<qsizetype> { 0, 5, 7, 12 };
    QTest::newRow("remove-around-a-mark") << "remove" << QList<qsizetype> { 0, 2, 2, 7 };
    QTest::newRow("remove-right-after-a-mark") << "remove-after" << QList<qsizetype> { 0, 3, 3, 8 };
    QTest::newRow("take-and-put-back") << "take-put" << QList<qsizetype> { 0, 3, 5, 10 };
    QTest::newRow("put-at-the-start") << "put-start" << QList<qsizetype> { 6, 9, 11, 16 };
    QTest::newRow("clear") << "clear" << QList<qsizetype> { 0, 0, 0, 0 };
}

void tst_TextStore::marksFollowEdits()
{
    QFETCH(QString, edit);
    TextStore store({ .chunkUnits = 4 });
    QVERIFY(store.append(QStringView(u"abcdefghij")));
    QList<TextStore::Mark> marks;
    for (const qsizetype at : { 0, 3, 5, 10 })
        marks.append(store.addMark(at));
    if (edit == "append") {
        QVERIFY(store.append(QStringView(u"kl")));
    } else if (edit == "insert") {
        QVERIFY(store.insert(3, u"XY"));
    } else if (edit == "remove") {
        store.remove(2, 3);
    } else if (edit == "remove-after") {
        store.remove(3, 2);
    } else if (edit == "take-put") {
        TextStore::Taken taken = store.take(1, 8);
        QVERIFY(store.put(1, taken));
        // Put back where it was taken, the marks it took in stay at its start.
        QCOMPARE(store.mark(marks[1]), 1 + 8);
        for (TextStore::Mark mark : marks)
            store.setMark(mark, QList<qsizetype> { 0, 3, 5, 10 }[mark]);
    } else if (edit == "put-start") {
        TextStore other({ .chunkUnits = 4 });
        QVERIFY(other.append(QStringView(u"uvwxyz")));
        TextStore::Taken taken = other.take(0, 6);
        QVERIFY(store.put(0, taken));
    } else if (edit == "clear") {
        store.clear();
    }
    QList<qsizetype> got;
    for (TextStore::Mark mark : marks)
        got.append(store.mark(mark));
    QTEST(got, "expected");
    QVERIFY2(store.checkInvariants().isEmpty(), qPrintable(store.checkInvariants()));
    // A freed mark is used again.
    store.removeMark(marks[2]);
    QCOMPARE(store.addMark(1), marks[2]);
}

QTEST_GUILESS_MAIN(tst_TextStore)
#include "tst_textStore.moc"
