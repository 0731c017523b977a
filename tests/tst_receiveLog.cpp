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
    void longLineIsCutIntoParagraphsButReadsWhole();
    void copyLeavesSoftBreaksOut();
    void userTextBetweenArrivals();
    void emptyLinesAreBoundedAndRefusalSticks();
};

void tst_ReceiveLog::appendKeepsText_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QString>("expected");

    const QString longLine(3 * ReceiveLog::maxLineChunk + 17, u'x');
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

void tst_ReceiveLog::longLineIsCutIntoParagraphsButReadsWhole()
{
    ReceiveLog log;
    const QString line(10 * ReceiveLog::maxLineChunk, u'z');
    for (qsizetype at = 0; at < line.size(); at += 1000)
        QVERIFY(log.appendPiece(line.mid(at, 1000)));
    // No paragraph may grow past the chunk, or every append would lay out more.
    for (QTextBlock block = log.document()->begin(); block.isValid(); block = block.next())
        QVERIFY(block.length() - 1 <= ReceiveLog::maxLineChunk);
    QCOMPARE(log.document()->blockCount(), 10);
    QCOMPARE(log.logText(), line);
}

void tst_ReceiveLog::copyLeavesSoftBreaksOut()
{
    ReceiveLog log;
    const QString text = QString(ReceiveLog::maxLineChunk + 10, u'q') + "\nend";
    QVERIFY(log.appendPiece(text));
    log.selectAll();
    log.copy();
    QCOMPARE(QApplication::clipboard()->text(), text);

    // A selection that starts and ends inside the cut-up line.
    QTextCursor part = log.textCursor();
    part.setPosition(int(ReceiveLog::maxLineChunk) - 2);
    part.setPosition(int(ReceiveLog::maxLineChunk) + 1 + 3,
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
}

void tst_ReceiveLog::emptyLinesAreBoundedAndRefusalSticks()
{
    ReceiveLog log;
    const QString breaks(ReceiveLog::maxParagraphs / 2, u'\n');
    QVERIFY(log.appendPiece(breaks));
    QVERIFY(!log.appendPiece(breaks)); // one paragraph too many: refused whole
    QCOMPARE(log.length(), breaks.size());
    QVERIFY(log.document()->blockCount() <= ReceiveLog::maxParagraphs);
    // Even a piece that would fit is refused now: the log holds no gaps.
    QVERIFY(!log.appendPiece(QStringLiteral("x")));
    log.clearLog();
    QVERIFY(log.appendPiece(QStringLiteral("x")));
    QCOMPARE(log.logText(), QStringLiteral("x"));
}

QTEST_MAIN(tst_ReceiveLog)
#include "tst_receiveLog.moc"
