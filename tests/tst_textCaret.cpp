#include "field/layout/TextCaret.h"
#include "field/layout/TextLayout.h"

#include <QFontDatabase>
#include <QTest>

class tst_TextCaret : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void snappedKeepsOneCharacterWhole_data();
    void snappedKeepsOneCharacterWhole();
    void motionsGoWhereTheKeysSay_data();
    void motionsGoWhereTheKeysSay();
    void wordsAndLinesAround_data();
    void wordsAndLinesAround();
};

namespace {

const QString pair = QStringLiteral("\U0001F600");

// Paragraphs of 4 units, so that short texts are cut; U+001F splits the text
// into the pieces it arrives in.
struct Text
{
    explicit Text(const QString &text)
        : store({ .paragraphUnits = 4 })
    {
        for (const QString &piece : text.split(u'\x1f'))
            store.append(piece);
    }
    TextStore store;
};

} // namespace

void tst_TextCaret::snappedKeepsOneCharacterWhole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("position");
    QTest::addColumn<qsizetype>("snapped");

    QTest::newRow("inside-a-crlf") << "ab\r\ncd" << qsizetype(3) << qsizetype(2);
    QTest::newRow("after-a-crlf") << "ab\r\ncd" << qsizetype(4) << qsizetype(4);
    QTest::newRow("inside-a-crlf-that-came-in-two-pieces")
            << "ab\r\x1f\ncd" << qsizetype(3) << qsizetype(2);
    QTest::newRow("between-two-crs") << "a\r\rb" << qsizetype(2) << qsizetype(2);
    QTest::newRow("between-lf-and-cr") << "a\n\rb" << qsizetype(2) << qsizetype(2);
    QTest::newRow("inside-a-pair") << "a" + pair + "b" << qsizetype(2) << qsizetype(1);
    QTest::newRow("inside-a-pair-across-a-cut")
            << "abc" + pair + "d" << qsizetype(4) << qsizetype(3);
    QTest::newRow("after-a-lone-high-surrogate")
            << "a" + pair.left(1) + "b" << qsizetype(2) << qsizetype(2);
    QTest::newRow("before-a-lone-low-surrogate")
            << "a" + pair.right(1) << qsizetype(1) << qsizetype(1);
    QTest::newRow("past-the-end") << "ab" << qsizetype(9) << qsizetype(2);
    QTest::newRow("before-the-start") << "ab" << qsizetype(-3) << qsizetype(0);
    QTest::newRow("end-of-an-empty-text") << "" << qsizetype(0) << qsizetype(0);
}

void tst_TextCaret::snappedKeepsOneCharacterWhole()
{
    QFETCH(QString, text);
    QFETCH(qsizetype, position);
    const Text in(text);
    QTEST(snapped(in.store, position), "snapped");
    QCOMPARE(splitsUnit(in.store, position),
             snapped(in.store, position) != std::clamp<qsizetype>(position, 0, in.store.length()));
}

void tst_TextCaret::motionsGoWhereTheKeysSay_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("motion");
    QTest::addColumn<qsizetype>("from");
    QTest::addColumn<qsizetype>("to");

    const auto row = [](const char *name, const QString &text, CaretMotion motion, qsizetype from,
                        qsizetype to) { QTest::newRow(name) << text << int(motion) << from << to; };
    row("next-char-over-a-crlf", "ab\r\ncd", CaretMotion::NextChar, 2, 4);
    row("previous-char-over-a-crlf", "ab\r\ncd", CaretMotion::PreviousChar, 4, 2);
    row("next-char-over-a-pair-across-a-cut", "abc" + pair + "d", CaretMotion::NextChar, 3, 5);
    row("previous-char-over-a-pair-across-a-cut", "abc" + pair + "d", CaretMotion::PreviousChar, 5,
        3);
    row("previous-char-across-a-cut", "abcdefgh", CaretMotion::PreviousChar, 4, 3);
    row("next-word-over-a-word-and-its-blanks", "one  two", CaretMotion::NextWord, 0, 5);
    row("next-word-over-separators", "a.,b", CaretMotion::NextWord, 1, 3);
    row("next-word-stops-at-a-break", "ab \r\ncd", CaretMotion::NextWord, 0, 3);
    row("next-word-takes-a-crlf-whole", "ab\r\ncd", CaretMotion::NextWord, 2, 4);
    row("previous-word-takes-a-crlf-whole", "ab\r\ncd", CaretMotion::PreviousWord, 4, 2);
    row("previous-word-over-blanks-and-a-word", "one  two", CaretMotion::PreviousWord, 5, 0);
    row("previous-word-over-separators", "a.,b", CaretMotion::PreviousWord, 3, 1);
    row("next-word-across-cuts", "abcdefghij k", CaretMotion::NextWord, 0, 11);
    row("start-of-text", "ab\ncd", CaretMotion::StartOfText, 4, 0);
    row("end-of-text", "ab\ncd", CaretMotion::EndOfText, 1, 5);
    row("end-of-line-stops-at-the-break", "ab\r\ncd", CaretMotion::EndOfLine, 0, 2);
    row("down-from-the-last-line-goes-to-the-end", "ab\ncd", CaretMotion::NextLine, 3, 5);
    row("up-from-the-first-line-goes-to-the-start", "ab\ncd", CaretMotion::PreviousLine, 1, 0);
}

void tst_TextCaret::motionsGoWhereTheKeysSay()
{
    QFETCH(QString, text);
    QFETCH(int, motion);
    QFETCH(qsizetype, from);
    Text in(text);
    TextLayout layout(in.store);
    layout.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout.setWidth(1000);
    QTEST(caretTarget(layout, in.store, CaretMotion(motion), from, layout.xOf(from), 10), "to");
}

void tst_TextCaret::wordsAndLinesAround_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("position");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("line");

    QTest::newRow("a-word-in-a-line") << "one two\nthree" << qsizetype(5) << "two"
                                      << "one two";
    QTest::newRow("a-word-across-cuts") << "a bcdefghijk l" << qsizetype(6) << "bcdefghijk"
                                        << "a bcdefghijk l";
    QTest::newRow("the-line-after-a-crlf") << "ab\r\ncdefghij\r\n"
                                           << qsizetype(7) << "cdefghij"
                                           << "cdefghij";
    QTest::newRow("an-empty-line") << "ab\n\ncd" << qsizetype(3) << ""
                                   << "";
    QTest::newRow("the-end-of-a-line") << "ab\ncd" << qsizetype(2) << "ab"
                                       << "ab";
}

void tst_TextCaret::wordsAndLinesAround()
{
    QFETCH(QString, text);
    QFETCH(qsizetype, position);
    const Text in(text);
    const auto [wordFrom, wordTo] = wordAround(in.store, position);
    QTEST(in.store.text(wordFrom, wordTo), "word");
    const auto [lineFrom, lineTo] = lineAround(in.store, position);
    QTEST(in.store.text(lineFrom, lineTo), "line");
}

QTEST_MAIN(tst_TextCaret)
#include "tst_textCaret.moc"
