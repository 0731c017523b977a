#include "data/ReceiveLog.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <QTextBlock>

class tst_ReceiveLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void appendKeepsText_data();
    void appendKeepsText();
    void characterAtEveryOffset_data();
    void characterAtEveryOffset();
    void longLineIsCutIntoParagraphsButReadsWhole();
    void copyLeavesSoftBreaksOut();
    void userTextBetweenArrivals();
    void userBreaksInsideCutUpLine_data();
    void userBreaksInsideCutUpLine();
    void tripleClickSelectsOneLine_data();
    void tripleClickSelectsOneLine();
    void emptyLinesShareParagraphsAndRefusalSticks();
};

void tst_ReceiveLog::appendKeepsText_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QString>("expected");

    const QString longLine(3 * ReceiveLog::maxParagraphChars + 17, u'x');
    QTest::newRow("one-piece") << QStringList { "abc" } << "abc";
    QTest::newRow("pieces-run-on") << QStringList { "abc", "def" } << "abcdef";
    QTest::newRow("crlf-in-one-piece") << QStringList { "a\r\nb" } << "a\nb";
    QTest::newRow("crlf-split-across-pieces") << QStringList { "a\r", "\nb" } << "a\nb";
    QTest::newRow("cr-then-unrelated-lf-later") << QStringList { "a\r", "b", "\nc" } << "a\nb\nc";
    QTest::newRow("lone-cr") << QStringList { "a\rb" } << "a\nb";
    QTest::newRow("lf-cr-is-two-breaks") << QStringList { "a\n\rb" } << "a\n\nb";
    QTest::newRow("nul-and-controls") << QStringList { QString::fromUtf8("a\0b\x01\x1b[2Jc", 8) }
                                      << QString::fromUtf8("a\0b\x01\x1b[2Jc", 8);
    QTest::newRow("empty-piece") << QStringList { "a\r", "", "\nb" } << "a\nb";
    QTest::newRow("long-line") << QStringList { longLine } << longLine;
    QTest::newRow("long-line-in-small-pieces")
            << QStringList(QList<QString>(5000, QStringLiteral("ab")))
            << QString(10000, u'a').replace(QStringLiteral("aa"), QStringLiteral("ab"));
    QTest::newRow("long-line-then-break")
            << QStringList { longLine + "\r\n", "tail" } << longLine + "\ntail";
    QString manyLines;
    for (int i = 0; i < 200; ++i)
        manyLines += QStringLiteral("line %1 of a few that share paragraphs\r\n").arg(i);
    QTest::newRow("short-lines-past-a-paragraph")
            << QStringList { manyLines, manyLines } << QString(manyLines + manyLines).remove(u'\r');
    // Characters the text field gives a meaning of its own read back as sent.
    const QString separators = QStringLiteral("a\u2028b\u2029c\uFDD0d\uFDD1e\uFFFDf");
    QTest::newRow("received-separators") << QStringList { separators } << separators;
    QTest::newRow("replacement-after-stand-in")
            << QStringList { QStringLiteral("\uFDD0"), QStringLiteral("\uFFFD\u2028x\n") }
            << QStringLiteral("\uFDD0\uFFFD\u2028x\n");
}

void tst_ReceiveLog::appendKeepsText()
{
    QFETCH(QStringList, pieces);
    QFETCH(QString, expected);
    ReceiveLog log;
    for (const QString &piece : pieces)
        QVERIFY(log.appendPiece(piece));
    QCOMPARE(log.logText(), expected);
    QVERIFY(!log.textCursor().hasSelection());
    QCOMPARE(log.textCursor().position(), int(log.length()));
}

void tst_ReceiveLog::characterAtEveryOffset_data()
{
    QTest::addColumn<QChar>("c");
    QTest::addColumn<QChar>("readBack");
    // Line breaks, characters the field treats as its own, and their neighbours.
    for (const char16_t c : { u'\r', u'\n', u'\u2028', u'\u2029', u'\uFDD0', u'\uFDD1' })
        QTest::addRow("U+%04X", unsigned(c)) << QChar(c) << QChar(c == u'\r' ? u'\n' : c);
    for (const char16_t c : { u'\t', u'\x0B', u'\x0E', u'\u2027', u'\u202A', u'\u7FFF', u'\u8000',
                              u'\uFDCF', u'\uFFFD', u'\uFFFF' })
        QTest::addRow("U+%04X", unsigned(c)) << QChar(c) << QChar(c);
}

void tst_ReceiveLog::characterAtEveryOffset()
{
    QFETCH(QChar, c);
    QFETCH(QChar, readBack);
    for (qsizetype at = 0; at < 11; ++at) {
        QString piece(11, u'a');
        piece[at] = c;
        QString expected(11, u'a');
        expected[at] = readBack;
        ReceiveLog log;
        QVERIFY(log.appendPiece(piece));
        QCOMPARE(log.logText(), expected);
    }
}

void tst_ReceiveLog::longLineIsCutIntoParagraphsButReadsWhole()
{
    ReceiveLog log;
    const QString line(10 * ReceiveLog::maxParagraphChars, u'z');
    for (qsizetype at = 0; at < line.size(); at += 1000)
        QVERIFY(log.appendPiece(line.mid(at, 1000)));
    // No paragraph may grow past the chunk, or every append would lay out more.
    for (QTextBlock block = log.document()->begin(); block.isValid(); block = block.next())
        QVERIFY(block.length() - 1 <= ReceiveLog::maxParagraphChars);
    QCOMPARE(log.document()->blockCount(), 10);
    QCOMPARE(log.logText(), line);
}

void tst_ReceiveLog::copyLeavesSoftBreaksOut()
{
    ReceiveLog log;
    const QString text = QString(ReceiveLog::maxParagraphChars + 10, u'q') + "\nend";
    QVERIFY(log.appendPiece(text));
    log.selectAll();
    log.copy();
    QCOMPARE(QApplication::clipboard()->text(), text);

    // A selection that starts and ends inside the cut-up line.
    QTextCursor part = log.textCursor();
    part.setPosition(int(ReceiveLog::maxParagraphChars) - 2);
    part.setPosition(int(ReceiveLog::maxParagraphChars) + 1 + 3,
                     QTextCursor::KeepAnchor); // past the break
    log.setTextCursor(part);
    log.copy();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("qqqqq"));
}

void tst_ReceiveLog::userTextBetweenArrivals()
{
    ReceiveLog log;
    log.show();
    QVERIFY(log.appendPiece(QStringLiteral("first\r")));
    QTest::keyClicks(&log, QStringLiteral("typed"));
    QVERIFY(log.appendPiece(QStringLiteral("\nsecond")));
    // The user's text separates the CR from the LF: both break the line.
    QCOMPARE(log.logText(), QStringLiteral("first\ntyped\nsecond"));

    // Typing right after a received separator, and breaking lines by hand.
    log.clearLog();
    QVERIFY(log.appendPiece(QStringLiteral("x\u2029")));
    QTest::keyClicks(&log, QStringLiteral("ok"));
    QTest::keyClick(&log, Qt::Key_Return);
    QTest::keyClick(&log, Qt::Key_Return, Qt::ShiftModifier); // a line separator
    QVERIFY(log.appendPiece(QStringLiteral("end")));
    QCOMPARE(log.logText(), QStringLiteral("x\u2029ok\n\nend"));
}

void tst_ReceiveLog::userBreaksInsideCutUpLine_data()
{
    QTest::addColumn<int>("at");
    QTest::addColumn<bool>("paste");
    const int chunk = int(ReceiveLog::maxParagraphChars);
    QTest::newRow("enter-in-first-part") << 10 << false;
    QTest::newRow("enter-in-continuation") << chunk + 10 << false;
    QTest::newRow("enter-where-continuation-starts") << chunk << false;
    QTest::newRow("paste-in-continuation") << chunk + 10 << true;
}

void tst_ReceiveLog::userBreaksInsideCutUpLine()
{
    QFETCH(int, at);
    QFETCH(bool, paste);
    ReceiveLog log;
    log.show();
    const QString line(ReceiveLog::maxParagraphChars * 3, u'z');
    QVERIFY(log.appendPiece(line));
    // Document positions count each soft break once; `at` is before the second.
    QTextCursor caret = log.textCursor();
    caret.setPosition(at + (at >= ReceiveLog::maxParagraphChars ? 1 : 0));
    log.setTextCursor(caret);
    if (paste) {
        QApplication::clipboard()->setText(QStringLiteral("p\nq"));
        log.paste();
    } else {
        QTest::keyClick(&log, Qt::Key_Return);
    }
    const QString typed = paste ? QStringLiteral("p\nq") : QStringLiteral("\n");
    QCOMPARE(log.logText(), QString(line).insert(at, typed));
}

void tst_ReceiveLog::tripleClickSelectsOneLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("clickAt");
    QTest::addColumn<QString>("line");

    const QString text = QStringLiteral("first\nsecond\r\nthird");
    QTest::newRow("first-line") << text << 2 << "first";
    QTest::newRow("middle-line") << text << 8 << "second";
    QTest::newRow("start-of-last-line") << text << 13 << "third";
    const QString cutUp(ReceiveLog::maxParagraphChars * 2 + 5, u'x');
    QTest::newRow("line-across-soft-breaks") << "a\n" + cutUp + "\nb" << 3 << cutUp;
}

void tst_ReceiveLog::tripleClickSelectsOneLine()
{
    QFETCH(QString, text);
    QFETCH(int, clickAt);
    QFETCH(QString, line);
    ReceiveLog log;
    log.resize(400, 300);
    log.show();
    QVERIFY(QTest::qWaitForWindowExposed(&log));
    QVERIFY(log.appendPiece(text));
    log.moveCursor(QTextCursor::Start); // scrolls the clicked line into view
    QTextCursor target = log.textCursor();
    target.setPosition(clickAt);
    const QPoint point = log.cursorRect(target).center() + QPoint(1, 0);
    QTest::mouseDClick(log.viewport(), Qt::LeftButton, {}, point);
    QTest::mousePress(log.viewport(), Qt::LeftButton, {}, point);
    QTest::mouseRelease(log.viewport(), Qt::LeftButton, {}, point);
    const QTextCursor selection = log.textCursor();
    QCOMPARE(log.textBetween(selection.selectionStart(), selection.selectionEnd()), line);
}

void tst_ReceiveLog::emptyLinesShareParagraphsAndRefusalSticks()
{
    ReceiveLog log;
    const QString breaks(ReceiveLog::capacity / 2, u'\n');
    QVERIFY(log.appendPiece(breaks));
    QCOMPARE(log.length(), breaks.size());
    QVERIFY(log.document()->blockCount() <= breaks.size() / ReceiveLog::paragraphTarget + 1);
    QVERIFY(!log.appendPiece(breaks + u'\n')); // one character too many: refused whole
    QCOMPARE(log.length(), breaks.size());
    // Even a piece that would fit is refused now: the log holds no gaps.
    QVERIFY(!log.appendPiece(QStringLiteral("x")));
    log.clearLog();
    QVERIFY(log.appendPiece(QStringLiteral("x")));
    QCOMPARE(log.logText(), QStringLiteral("x"));
}

QTEST_MAIN(tst_ReceiveLog)
#include "tst_receiveLog.moc"
