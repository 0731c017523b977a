#include "field/model/TextFinder.h"
#include "field/model/TextSearch.h"
#include "field/model/TextStore.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <map>

class tst_TextSearch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void foldingKeepsEveryCharacterInItsBlock();
    void matches_data();
    void matches();
    void matchesAsAPlainModelDoes_data();
    void matchesAsAPlainModelDoes();
    void longPatternInARepetitiveLog();
    void nearest_data();
    void nearest();
    void cancelledSearchReportsNothing();
    void finderChecksTheLiveText_data();
    void finderChecksTheLiveText();
    void restartedSearchDropsTheOldOne();
};

namespace {

// The text with each character simply case folded, as a whole: a plain model
// of what the search compares, unit for unit.
QString foldedModel(const QString &text)
{
    QString out = text;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const char16_t unit = out[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < out.size() && out[i + 1].isLowSurrogate()) {
            const char32_t folded = QChar::toCaseFolded(QChar::surrogateToUcs4(unit, out[i + 1]));
            out[i] = QChar(QChar::highSurrogate(folded));
            out[i + 1] = QChar(QChar::lowSurrogate(folded));
            ++i;
        } else if (!QChar::isSurrogate(unit)) {
            out[i] = QChar(char16_t(QChar::toCaseFolded(char32_t(unit))));
        }
    }
    return out;
}

// Every start of the pattern in the text, found one position at a time.
QList<qsizetype> modelMatches(const QString &text, const QString &pattern, Qt::CaseSensitivity cs)
{
    const QString haystack = cs == Qt::CaseInsensitive ? foldedModel(text) : text;
    const QString needle = cs == Qt::CaseInsensitive ? foldedModel(pattern) : pattern;
    const auto splitsPair = [&text](qsizetype at) {
        return at > 0 && at < text.size() && text[at - 1].isHighSurrogate()
               && text[at].isLowSurrogate();
    };
    QList<qsizetype> starts;
    for (qsizetype s = 0; !needle.isEmpty() && s + needle.size() <= haystack.size(); ++s) {
        if (QStringView(haystack).sliced(s, needle.size()) == needle && !splitsPair(s)
            && !splitsPair(s + needle.size()))
            starts.append(s);
    }
    return starts;
}

QList<qsizetype> searchMatches(const TextStore &store, const TextPattern &pattern)
{
    QList<qsizetype> starts;
    const bool whole = forEachMatch(searchedText(store), pattern, 0, store.length(),
                                    [&starts](qsizetype start) {
                                        starts.append(start);
                                        return true;
                                    });
    return whole ? starts : QList<qsizetype> { -2 };
}

} // namespace

void tst_TextSearch::foldingKeepsEveryCharacterInItsBlock()
{
    // The scan folds a high surrogate as itself and a low one with the unit
    // before it, and checks at most four case variants a unit: Qt's tables
    // must keep to that.
    std::map<char32_t, int> variants;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (QChar::isSurrogate(c))
            continue;
        const char32_t folded = QChar::toCaseFolded(c);
        QVERIFY2(QChar::requiresSurrogates(c) == QChar::requiresSurrogates(folded)
                         && !QChar::isSurrogate(folded),
                 qPrintable(QString::number(c, 16)));
        if (QChar::requiresSurrogates(c))
            QCOMPARE(QChar::highSurrogate(folded), QChar::highSurrogate(c));
        else
            ++variants[folded];
    }
    for (const auto &[folded, count] : variants)
        QVERIFY2(count <= 4, qPrintable(QString::number(folded, 16)));
}

void tst_TextSearch::matches_data()
{
    QTest::addColumn<int>("chunkUnits");
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("matchCase");
    QTest::addColumn<QList<qsizetype>>("starts");

    const auto row = [](const char *name, int chunk, const QStringList &pieces,
                        const QString &pattern, bool matchCase, const QList<qsizetype> &starts) {
        QTest::newRow(name) << chunk << pieces << pattern << matchCase << starts;
    };
    row("one-chunk", 64, { "the cat sat" }, "at", true, { 5, 9 });
    row("overlapping", 64, { "aaaa" }, "aa", true, { 0, 1, 2 });
    row("across-every-cut", 2, { "abcabcabc" }, "cab", true, { 2, 5 });
    row("pattern-longer-than-a-chunk", 3, { "xxhello worldxx" }, "hello world", true, { 2 });
    row("crlf-across-pieces", 4, { "ab\r", "\ncd\r\n" }, "\r\nc", true, { 2 });
    row("crlf-at-the-end", 4, { "ab\r\n" }, "b\r\n", true, { 1 });
    row("fallback-after-partial-match", 3, { "abababac" }, "ababac", true, { 2 });
    row("case-ignored", 4, { "Hello HELLO hello" }, "hello", false, { 0, 6, 12 });
    row("case-counts", 4, { "Hello HELLO hello" }, "hello", true, { 12 });
    row("kelvin-sign-is-k", 3, { "Kk\u212A" }, "k", false, { 0, 1, 2 });
    row("long-s-is-s", 4, { "s\u017FS" }, "S", false, { 0, 1, 2 });
    row("theta-has-four-forms", 64, { "\u0398\u03B8\u03D1\u03F4" }, "\u03D1", false,
        { 0, 1, 2, 3 });
    // The micro sign in a Latin-1 chunk, mu in a wide one.
    row("micro-sign-is-mu", 2, { "a\u00B5", "b\u03BC\u039C" }, "\u00B5", false, { 1, 3, 4 });
    row("sharp-s-stays-one-character", 64, { "stra\u00DFe STRASSE" }, "strasse", false, { 7 });
    row("latin1-and-wide-chunks", 3, { "caf\u00E9 ", "CAF\u00C9 \u4E2D caf\u00C9" }, "caf\u00E9",
        false, { 0, 5, 12 });
    row("wide-pattern-in-latin1-text", 4, { "abc def" }, "\u4E2D", false, {});
    row("zero-units", 2, { QString::fromLatin1("a\0b\0", 4) }, QString::fromLatin1("\0b", 2), true,
        { 1 });
    // Deseret capital and small letters: a case pair beyond the BMP.
    row("pair-folds-as-one-character", 3, { "x\U00010400y\U00010428" }, "\U00010428", false,
        { 1, 4 });
    row("pair-case-counts", 3, { "x\U00010400y\U00010428" }, "\U00010428", true, { 4 });
    row("pair-across-a-cut", 2, { "a\U0001F600b" }, "\U0001F600b", true, { 1 });
    row("lone-low-surrogate-not-inside-a-pair", 4, { "\U0001F600", QString(QChar(0xDE00)) },
        QString(QChar(0xDE00)), true, { 2 });
    row("lone-high-surrogate-not-inside-a-pair", 4, { QString(QChar(0xD83D)) + "x\U0001F600" },
        QString(QChar(0xD83D)), true, { 0 });
    row("pattern-longer-than-text", 64, { "abc" }, "abcd", true, {});
    row("empty-pattern", 64, { "abc" }, "", true, {});
    row("empty-text", 64, {}, "a", true, {});
}

void tst_TextSearch::matches()
{
    QFETCH(int, chunkUnits);
    QFETCH(QStringList, pieces);
    QFETCH(QString, pattern);
    QFETCH(bool, matchCase);
    QFETCH(QList<qsizetype>, starts);

    TextStore store({ .chunkUnits = chunkUnits, .paragraphUnits = 3 });
    for (const QString &piece : pieces)
        QVERIFY(store.append(piece));
    const Qt::CaseSensitivity cs = matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const TextPattern compiled(pattern, cs);
    QCOMPARE(searchMatches(store, compiled), starts);
    QCOMPARE(modelMatches(store.text(), pattern, cs), starts);
    for (qsizetype at = 0; at <= store.length(); ++at)
        QCOMPARE(matchesAt(searchedText(store), compiled, at), starts.contains(at));
}

void tst_TextSearch::matchesAsAPlainModelDoes_data()
{
    QTest::addColumn<int>("chunkUnits");
    QTest::addColumn<QStringList>("alphabet");
    QTest::addRow("latin1-tiny-chunks") << 3 << QStringList { "a", "A", "b", "\r", "\n", "\u00E9" };
    QTest::addRow("mixed-widths") << 5 << QStringList { "a",      "A", "\u00C9", "\u00E9",
                                                        "\u212A", "k", "\r\n",   "\u4E2D" };
    QTest::addRow("pairs-and-halves")
            << 4 << QStringList { "\U00010400",           "\U00010428",           "a",
                                  QString(QChar(0xD801)), QString(QChar(0xDC28)), "\U0001F600" };
}

void tst_TextSearch::matchesAsAPlainModelDoes()
{
    QFETCH(int, chunkUnits);
    QFETCH(QStringList, alphabet);
    QRandomGenerator random(0x5ea7c4);
    const auto randomText = [&](int pieces) {
        QString text;
        for (int i = 0; i < pieces; ++i)
            text += alphabet[random.bounded(int(alphabet.size()))];
        return text;
    };
    for (int round = 0; round < 300; ++round) {
        TextStore store({ .chunkUnits = chunkUnits, .paragraphUnits = 4 });
        for (int piece = 0; piece < 6; ++piece)
            QVERIFY(store.append(randomText(random.bounded(12))));
        const QString text = store.text();
        // Patterns taken from the text itself match somewhere; random ones
        // mostly not.
        const qsizetype from = random.bounded(int(text.size()) + 1);
        const QString pattern = round % 2 ? text.mid(from, 1 + random.bounded(5))
                                          : randomText(1 + random.bounded(3));
        for (const Qt::CaseSensitivity cs : { Qt::CaseSensitive, Qt::CaseInsensitive }) {
            QCOMPARE(searchMatches(store, TextPattern(pattern, cs)),
                     modelMatches(text, pattern, cs));
        }
    }
}

void tst_TextSearch::longPatternInARepetitiveLog()
{
    // A pasted megabyte of a log of like records, which first occurs whole
    // only at the end, where one record differs.
    const QString record = QStringLiteral("UDP IN  (0004) : 41 42 43 44 \r\n");
    const QString pattern
            = record.repeated((1 << 20) / record.size()) + QStringLiteral("UDP IN  (0001)");
    TextStore store;
    QVERIFY(store.append(record.repeated(3 * pattern.size() / record.size())));
    const qsizetype expected = store.length();
    QVERIFY(store.append(pattern.toLower() + QStringLiteral("\r\n")));
    const QList<qsizetype> starts
            = searchMatches(store, TextPattern(pattern.toUpper(), Qt::CaseInsensitive));
    QCOMPARE(starts, QList<qsizetype> { expected });
    QCOMPARE(searchMatches(store, TextPattern(pattern, Qt::CaseSensitive)), QList<qsizetype> {});
}

void tst_TextSearch::nearest_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("from");
    QTest::addColumn<bool>("backward");
    QTest::addColumn<qsizetype>("start");
    QTest::addColumn<bool>("wrapped");

    //                0123456789012345
    const QString text("ab ab ab");
    QTest::newRow("forward-at-a-match") << text << qsizetype(3) << false << qsizetype(3) << false;
    QTest::newRow("forward-after-a-match")
            << text << qsizetype(4) << false << qsizetype(6) << false;
    QTest::newRow("forward-wraps-to-the-top")
            << text << qsizetype(7) << false << qsizetype(0) << true;
    QTest::newRow("backward-before-the-caret")
            << text << qsizetype(6) << true << qsizetype(3) << false;
    QTest::newRow("backward-wraps-to-the-end")
            << text << qsizetype(0) << true << qsizetype(6) << true;
    QTest::newRow("only-match-found-again")
            << QString("xxabxx") << qsizetype(4) << false << qsizetype(2) << true;
    QTest::newRow("nothing") << text << qsizetype(2) << false << qsizetype(-1) << false;
}

void tst_TextSearch::nearest()
{
    QFETCH(QString, text);
    QFETCH(qsizetype, from);
    QFETCH(bool, backward);
    QFETCH(qsizetype, start);
    QFETCH(bool, wrapped);

    TextStore store({ .chunkUnits = 2, .paragraphUnits = 3 });
    QVERIFY(store.append(text));
    const QString pattern = start >= 0 ? text.mid(start, 2) : QStringLiteral("zz");
    const SearchOutcome outcome
            = findNearest(searchedText(store), TextPattern(pattern, Qt::CaseSensitive), from,
                          backward ? SearchDirection::Backward : SearchDirection::Forward);
    QCOMPARE(outcome.start, start);
    QCOMPARE(outcome.wrapped, wrapped);
    QVERIFY(!outcome.cancelled);
}

void tst_TextSearch::cancelledSearchReportsNothing()
{
    TextStore store({ .chunkUnits = 16 });
    QVERIFY(store.append(QString(1000, u'a') + u'b'));
    const std::atomic<bool> cancel { true };
    const SearchOutcome outcome
            = findNearest(searchedText(store), TextPattern(u"b", Qt::CaseSensitive), 0,
                          SearchDirection::Forward, &cancel);
    QVERIFY(outcome.cancelled);
    QVERIFY(!outcome.found());
}

void tst_TextSearch::finderChecksTheLiveText_data()
{
    QTest::addColumn<QString>("edit");
    QTest::addColumn<qsizetype>("start");
    QTest::addColumn<bool>("wrapped");

    // The log is "needle aaa needle"; the search from 1 finds the second
    // needle in its snapshot, and the edit comes before the answer is taken.
    QTest::newRow("untouched") << QString() << qsizetype(11) << false;
    QTest::newRow("arrival") << QStringLiteral("append") << qsizetype(11) << false;
    // The match is gone: the search goes on past it and wraps to the first.
    QTest::newRow("match-deleted") << QStringLiteral("remove-second") << qsizetype(0) << true;
    // An edit before it moved it: the moved one is found, not a stale place.
    QTest::newRow("match-moved") << QStringLiteral("insert-before") << qsizetype(14) << false;
    QTest::newRow("cleared") << QStringLiteral("clear") << qsizetype(-1) << false;
}

void tst_TextSearch::finderChecksTheLiveText()
{
    QFETCH(QString, edit);
    QFETCH(qsizetype, start);
    QFETCH(bool, wrapped);

    TextStore store({ .chunkUnits = 4 });
    QVERIFY(store.append(QStringLiteral("needle aaa needle")));
    TextFinder finder(store);
    QSignalSpy found(&finder, &TextFinder::found);
    QSignalSpy notFound(&finder, &TextFinder::notFound);
    finder.find(std::make_shared<const TextPattern>(u"needle", Qt::CaseSensitive), 1,
                SearchDirection::Forward);
    // The answer comes through the event loop, so this edit is always first.
    if (edit == "append")
        QVERIFY(store.append(QStringLiteral(" more")));
    else if (edit == "remove-second")
        store.remove(11, 6);
    else if (edit == "insert-before")
        QVERIFY(store.insert(7, QStringLiteral("bbb")));
    else if (edit == "clear")
        store.clear();
    QTRY_VERIFY(found.size() + notFound.size() == 1);
    QVERIFY(!finder.isSearching());
    if (start < 0) {
        QCOMPARE(notFound.size(), 1);
        return;
    }
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0][0].value<qsizetype>(), start);
    QCOMPARE(found[0][1].value<qsizetype>(), qsizetype(6));
    QCOMPARE(found[0][2].toBool(), wrapped);
    QCOMPARE(store.text(start, start + 6), QStringLiteral("needle"));
}

void tst_TextSearch::restartedSearchDropsTheOldOne()
{
    TextStore store;
    QVERIFY(store.append(QString(1 << 20, u'a') + QStringLiteral("first second")));
    TextFinder finder(store);
    QSignalSpy found(&finder, &TextFinder::found);
    QSignalSpy notFound(&finder, &TextFinder::notFound);
    finder.find(std::make_shared<const TextPattern>(u"first", Qt::CaseSensitive), 0,
                SearchDirection::Forward);
    finder.find(std::make_shared<const TextPattern>(u"second", Qt::CaseSensitive), 0,
                SearchDirection::Forward);
    // Whatever the first search had posted is taken before the second's answer.
    QTRY_COMPARE(found.size(), 1);
    QCOMPARE(found[0][0].value<qsizetype>(), qsizetype((1 << 20) + 6));
    finder.find(std::make_shared<const TextPattern>(u"first", Qt::CaseSensitive), 0,
                SearchDirection::Forward);
    finder.cancel();
    finder.find(std::make_shared<const TextPattern>(u"nowhere", Qt::CaseSensitive), 0,
                SearchDirection::Forward);
    QTRY_COMPARE(notFound.size(), 1);
    QCOMPARE(found.size(), 1);
}

QTEST_GUILESS_MAIN(tst_TextSearch)
#include "tst_textSearch.moc"
