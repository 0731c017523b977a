#include "field/layout/TextLayout.h"

#include <QFontDatabase>
#include <QTest>

class tst_TextLayout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keptLayoutsAnswerAsFreshOnes_data();
    void keptLayoutsAnswerAsFreshOnes();
    void linesWalkTheTextInOrder_data();
    void linesWalkTheTextInOrder();
};

namespace {

// Paragraphs of 8 units, so that short texts have long lines cut many times
// and chains that restart.
TextStore::Limits smallParagraphs()
{
    TextStore::Limits limits;
    limits.paragraphUnits = 8;
    return limits;
}

QString words(int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("w%1 ").arg(i);
    return text;
}

constexpr qreal narrow = 80;

void setUp(TextLayout &layout, qreal width = narrow)
{
    layout.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout.setWidth(width);
}

// What a paragraph shows, line by line, as text: equal for two layouts that
// break the text alike.
QStringList shownLines(TextLayout &layout, qsizetype paragraph)
{
    const TextLayout::Laid &laid = layout.laid(paragraph);
    QStringList lines { QStringLiteral("paragraph at %1, %2 long, break %3; laid from %4, on at %5")
                                .arg(laid.paragraph.start)
                                .arg(laid.paragraph.length)
                                .arg(laid.paragraph.breakLength)
                                .arg(laid.start)
                                .arg(laid.nextStart) };
    for (qsizetype line = 0; line < laid.shown; ++line) {
        const QTextLine row = laid.layout.lineAt(int(line));
        lines << laid.layout.text().mid(row.textStart(), row.textLength());
    }
    return lines;
}

// Every paragraph, as the layout shows it.
QStringList shownText(TextLayout &layout, const TextStore &text)
{
    QStringList shown;
    for (qsizetype paragraph = 0; paragraph < text.paragraphCount(); ++paragraph)
        shown << shownLines(layout, paragraph);
    return shown;
}

} // namespace

void tst_TextLayout::keptLayoutsAnswerAsFreshOnes_data()
{
    QTest::addColumn<QString>("text"); // appended piece by piece, U+001F between pieces
    // append (pieces split at U+001F), insert, remove, remove-then-append, width, font, preedit
    QTest::addColumn<QString>("change");
    QTest::addColumn<qsizetype>("at");
    QTest::addColumn<QString>("with");    // the text appended or inserted, the preedit
    QTest::addColumn<qsizetype>("count"); // units removed, or the new width

    const QString line = words(40);
    QTest::newRow("append-joins-a-cr-to-its-lf")
            << "ab\r"
            << "append" << qsizetype(0) << "\nxy" << qsizetype(0);
    QTest::newRow("appends-one-after-another")
            << "abcdefgh"
            << "append" << qsizetype(0) << "ijklmnop\x1fqr\x1f\r\x1f\nst" << qsizetype(0);
    QTest::newRow("append-after-a-removal")
            << line + "\n" + line << "remove-then-append" << qsizetype(3) << "more\r\nand more"
            << qsizetype(2 * line.size() - 2);
    QTest::newRow("append-after-a-full-paragraph")
            << "abcdefgh"
            << "append" << qsizetype(0) << "ijk" << qsizetype(0);
    QTest::newRow("append-to-a-line-cut-many-times")
            << line << "append" << qsizetype(0) << words(12) << qsizetype(0);
    QTest::newRow("append-a-break-after-a-long-line")
            << line << "append" << qsizetype(0) << "\nmore" << qsizetype(0);
    QTest::newRow("insert-inside-a-long-line")
            << line + "\nnext"
            << "insert" << qsizetype(37) << "INSERTED WORDS " << qsizetype(0);
    QTest::newRow("insert-a-break-inside-a-long-line") << line << "insert" << qsizetype(50) << "\n"
                                                       << qsizetype(0);
    QTest::newRow("insert-at-the-end-after-a-cr")
            << "ab\r"
            << "insert" << qsizetype(3) << "\nxy" << qsizetype(0);
    QTest::newRow("insert-at-the-start")
            << line << "insert" << qsizetype(0) << "x " << qsizetype(0);
    QTest::newRow("insert-an-lf-after-a-cr") << "ab\rcd\nef"
                                             << "insert" << qsizetype(3) << "\n"
                                             << qsizetype(0);
    QTest::newRow("remove-the-lf-of-a-crlf") << "ab\r\ncd\nef"
                                             << "remove" << qsizetype(3) << "" << qsizetype(1);
    QTest::newRow("remove-a-break-between-long-lines")
            << line + "\n" + line << "remove" << qsizetype(line.size()) << "" << qsizetype(1);
    QTest::newRow("remove-everything") << line + "\n" + line << "remove" << qsizetype(0) << ""
                                       << qsizetype(2 * line.size() + 1);
    QTest::newRow("narrower") << line + "\n" + line << "width" << qsizetype(0) << ""
                              << qsizetype(narrow / 2);
    QTest::newRow("other-font") << line << "font" << qsizetype(0) << "" << qsizetype(0);
    QTest::newRow("preedit-in-a-long-line")
            << line << "preedit" << qsizetype(45) << "COMPOSED" << qsizetype(0);
    QTest::newRow("preedit-moves-to-another-line")
            << line + "\n" + line << "preedit" << qsizetype(line.size() + 12) << "COMPOSED"
            << qsizetype(0);
    QTest::newRow("preedit-ends") << line << "preedit" << qsizetype(45) << "" << qsizetype(0);
    // At -1: the first position whose paragraph is not the one that shows it.
    QTest::newRow("preedit-before-a-cut-shown-by-the-next-layout")
            << line << "preedit" << qsizetype(-1) << "COMPOSED" << qsizetype(0);
}

void tst_TextLayout::keptLayoutsAnswerAsFreshOnes()
{
    QFETCH(QString, text);
    QFETCH(QString, change);
    QFETCH(qsizetype, at);
    QFETCH(QString, with);
    QFETCH(qsizetype, count);
    TextStore store(smallParagraphs());
    for (const QString &piece : text.split(u'\x1f'))
        QVERIFY(store.append(piece));
    TextLayout kept(store);
    setUp(kept);
    // A preedit shown before the change, for the preedit rows to move or end.
    if (change == "preedit")
        kept.setPreedit(5, QStringLiteral("OLD"));
    shownText(kept, store);

    qreal width = narrow;
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    QString preedit = change == "preedit" ? QStringLiteral("OLD") : QString();
    qsizetype preeditAt = 5;
    if (change == "remove-then-append") {
        store.remove(at, count);
        kept.textChanged(at, count, 0);
        shownText(kept, store);
        change = QStringLiteral("append");
    }
    if (change == "append") {
        for (const QString &piece : with.split(u'\x1f')) {
            const qsizetype end = store.length();
            QVERIFY(store.append(piece));
            kept.textChanged(end, 0, piece.size());
            shownText(kept, store);
        }
    } else if (change == "insert") {
        QVERIFY(store.insert(at, with));
        kept.textChanged(at, 0, with.size());
    } else if (change == "remove") {
        store.remove(at, count);
        kept.textChanged(at, count, 0);
    } else if (change == "width") {
        width = qreal(count);
        QVERIFY(kept.setWidth(width));
    } else if (change == "font") {
        font.setPointSizeF(font.pointSizeF() * 2);
        kept.setFont(font);
    } else {
        for (qsizetype position = 0; at < 0 && position < store.length(); ++position) {
            if (kept.shownParagraph(position) != store.paragraphAt(position))
                at = position;
        }
        QVERIFY(at >= 0);
        preedit = with;
        preeditAt = at;
        kept.setPreedit(at, with);
    }

    QVERIFY(kept.heardEveryChange());
    TextLayout fresh(store);
    fresh.setFont(font);
    fresh.setWidth(width);
    if (!preedit.isEmpty())
        fresh.setPreedit(preeditAt, preedit);
    QCOMPARE(shownText(kept, store), shownText(fresh, store));
    QCOMPARE(kept.lineHeight(), fresh.lineHeight());
    // A change nobody told it of shows.
    QVERIFY(store.append(u"x"));
    QVERIFY(!kept.heardEveryChange());
}

void tst_TextLayout::linesWalkTheTextInOrder_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qreal>("width");

    QTest::newRow("short-lines") << "one\ntwo\r\n\nthree" << narrow;
    QTest::newRow("a-line-cut-many-times") << words(60) << narrow;
    QTest::newRow("one-long-word") << QString(200, u'x') << narrow;
    QTest::newRow("pairs-across-cuts") << QString(40, u'a') + QStringLiteral("😀😀😀😀 😀😀") << narrow;
    QTest::newRow("wide-enough-for-all") << words(60) + "\nend" << qreal(100000);
}

void tst_TextLayout::linesWalkTheTextInOrder()
{
    QFETCH(QString, text);
    QFETCH(qreal, width);
    TextStore store(smallParagraphs());
    QVERIFY(store.append(text));
    TextLayout layout(store);
    setUp(layout, width);

    // Down from the top a line at a time: each line starts where the last
    // ended, the position at its start is on it, and the count agrees.
    qsizetype count = 0;
    qsizetype lastStart = -1;
    for (TextLayout::Line line;; ++count) {
        const qsizetype start = layout.positionOnLine(line, 0);
        QVERIFY2(start > lastStart || (start == 0 && count == 0),
                 qPrintable(QStringLiteral("line %1 starts at %2").arg(count).arg(start)));
        QCOMPARE(layout.lineOf(start), line);
        QCOMPARE(layout.linesBetween(TextLayout::Line {}, line, count + 10), count);
        lastStart = start;
        const TextLayout::Line next = layout.moved(line, 1);
        if (next == line)
            break;
        line = next;
        QVERIFY(count < text.size());
    }
    QCOMPARE(layout.lineOf(store.length()), layout.moved(TextLayout::Line {}, count));
    QCOMPARE(layout.moved(layout.moved(TextLayout::Line {}, count), -count), TextLayout::Line {});
    // The last page's top is as many lines up from the last line.
    const qsizetype page = std::min<qsizetype>(3, count + 1);
    QCOMPARE(layout.linesBetween(layout.lastTop(page), layout.lineOf(store.length()), count + 10),
             page - 1);
}

QTEST_MAIN(tst_TextLayout)
#include "tst_textLayout.moc"
