#include "field/layout/TextLayout.h"
#include "field/model/TextDocument.h"
#include "field/transfer/TextFieldMimeData.h"
#include "field/widget/TextControl.h"
#include "field/widget/TextField.h"
#include "field/widget/TextGeometry.h"
#include "log/ReceiveLog.h"
#include "scrollBar.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTextLayout>
#include <QWheelEvent>

class tst_TextField : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keysEdit_data();
    void keysEdit();
    void keysSelectAndCopy_data();
    void keysSelectAndCopy();
    void selectAllThenDeleteEmptiesAndAppendsGoOn();
    void clicksSelect_data();
    void clicksSelect();
    void shiftClickExtendsTheSelection();
    void longLinesWrapAtTheWidth();
    void longLinesWrapAcrossCutsAsAWhole_data();
    void longLinesWrapAcrossCutsAsAWhole();
    void scrollBarStepsByVisualLines_data();
    void scrollBarStepsByVisualLines();
    void inputMethodCommitsText();
    void pagesAndEndsMoveTheCaret();
    void wheelScrollsWithoutMovingTheCaret();
    void editsOnScreenKeepTheTopLine_data();
    void editsOnScreenKeepTheTopLine();
    void pasteAboveTheViewKeepsTheTopOnItsText();
    void tabMovesTheFocus();
    void appendGoesToTheEndAfterAnEdit();
    void paintAsksForNoOther();
    void refusalSticksUntilCleared();
    void timeLineOnlyWithItsArrival();
    void droppedStorageGoesBackWhileTheViewAnswers_data();
    void droppedStorageGoesBackWhileTheViewAnswers();
    void accessibleText();
    void undoBringsTheCaptureBackBeforeWhatArrived();
    void contextMenuOffersUndoAndRedo();
    void copyIsReadWhenAskedAndStaysWhatWasCopied_data();
    void copyIsReadWhenAskedAndStaysWhatWasCopied();
    void dropFromOutside_data();
    void dropFromOutside();
    void primarySelectionAndMiddleClick_data();
    void primarySelectionAndMiddleClick();
    void heldPastTheEdgeScrollsUntilReleased();
    void preeditShowsOnceWhileDataArrives();
    void controlWithoutAView_data();
    void controlWithoutAView();
};

namespace {

// A shown, focused log of a size that wraps at a known width; what arrives
// by its rules goes in through `log`.
struct Shown
{
    explicit Shown(const TextStore::Limits &limits = {})
        : view(limits)
    {
        view.resize(400, 300);
        view.show();
        view.activateWindow();
        view.setFocus();
    }
    TextField view;
    ReceiveLog log { &view };
};

void press(QWidget *widget, const QStringList &keys)
{
    for (const QString &key : keys) {
        const QKeyCombination combination = QKeySequence(key)[0];
        QTest::keyClick(widget, combination.key(), combination.keyboardModifiers());
    }
}

QPoint pointOf(TextField &view, qsizetype position)
{
    return view.characterRect(position).center();
}

// Where the visual lines of one line of text start when it is laid out whole
// at the field's width: what the field must show, however it cuts the line.
QList<qsizetype> wholeLineStarts(const TextField &view, const QString &line)
{
    QTextLayout layout(line, view.font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QList<qsizetype> starts;
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLineWidth(view.viewport()->width() - 2 * TextField::margin);
        starts.append(row.textStart());
    }
    layout.endLayout();
    return starts;
}

int rowHeight(TextField &view)
{
    return view.characterRect(0).height();
}

int pageRows(TextField &view)
{
    return (view.viewport()->height() - 2 * TextField::margin) / rowHeight(view);
}

// The position that starts the visual line at a row of the view.
qsizetype startOfRow(TextField &view, int row)
{
    return view.positionAt(
            QPoint(TextField::margin, TextField::margin + row * rowHeight(view) + 1));
}

} // namespace

void tst_TextField::keysEdit_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("caret");

    const QStringList home { "Ctrl+Home" };
    QTest::newRow("type-in-the-middle") << "abcd" << home + QStringList { "Right", "Right" } << "XY"
                                        << "abXYcd" << 4;
    QTest::newRow("backspace-takes-a-crlf-whole")
            << "ab\r\ncd" << home + QStringList { "Right", "Right", "Right", "Backspace" } << ""
            << "abcd" << 2;
    QTest::newRow("delete-takes-a-crlf-whole")
            << "ab\r\ncd" << home + QStringList { "Right", "Right", "Delete" } << ""
            << "abcd" << 2;
    // U+001F marks where one arrival ends and the next begins.
    QTest::newRow("right-steps-over-a-crlf-split-across-arrivals")
            << "ab\r\x1f\ncd" << home + QStringList { "Right", "Right", "Right" } << "X"
            << "ab\r\nXcd" << 5;
    QTest::newRow("delete-takes-a-crlf-split-across-arrivals-whole")
            << "ab\r\x1f\ncd" << home + QStringList { "Right", "Right", "Delete" } << ""
            << "abcd" << 2;
    QTest::newRow("right-steps-over-a-crlf")
            << "a\r\nb" << home + QStringList { "Right", "Right" } << "X"
            << "a\r\nXb" << 4;
    QTest::newRow("left-steps-back-over-a-crlf")
            << "a\r\nb" << QStringList { "Left", "Left" } << "X"
            << "aX\r\nb" << 2;
    QTest::newRow("backspace-at-the-start-does-nothing")
            << "ab" << home + QStringList { "Backspace" } << ""
            << "ab" << 0;
    QTest::newRow("delete-at-the-end-does-nothing") << "ab" << QStringList { "Delete" } << ""
                                                    << "ab" << 2;
    QTest::newRow("enter-types-lf")
            << "abcd" << home + QStringList { "Right", "Right", "Return" } << ""
            << "ab\ncd" << 3;
    QTest::newRow("typing-replaces-the-selection")
            << "hello" << home + QStringList { "Shift+Right", "Shift+Right" } << "J"
            << "Jllo" << 1;
    QTest::newRow("ctrl-right-moves-a-word")
            << "one two" << home + QStringList { "Ctrl+Right" } << "X"
            << "one Xtwo" << 5;
    QTest::newRow("home-goes-to-the-line-start") << "ab\ncd" << QStringList { "Home" } << "X"
                                                 << "ab\nXcd" << 4;
    QTest::newRow("up-keeps-the-column") << "abc\nabc" << QStringList { "Left", "Up" } << "X"
                                         << "abXc\nabc" << 3;
    // A character outside the BMP whose halves straddle the cut at 4096 and
    // came in two arrivals is one character for the caret and the keys.
    const QString before(4095, u'a');
    const QString pair = QStringLiteral("\U0001F600");
    const QString straddling = before + pair.at(0) + u'\x1f' + pair.at(1) + "bc";
    const QStringList toPair { "Left", "Left", "Left" };
    QTest::newRow("left-steps-over-a-pair-across-a-cut")
            << straddling << toPair << "X" << before + "X" + pair + "bc" << 4096;
    QTest::newRow("right-steps-over-a-pair-across-a-cut")
            << straddling << toPair + QStringList { "Right" } << "X" << before + pair + "Xbc"
            << 4098;
    QTest::newRow("backspace-takes-a-pair-across-a-cut-whole")
            << straddling << QStringList { "Left", "Left", "Backspace" } << "" << before + "bc"
            << 4095;
    QTest::newRow("delete-takes-a-pair-across-a-cut-whole")
            << straddling << toPair + QStringList { "Delete" } << "" << before + "bc" << 4095;
    // What typing takes beyond printable characters, as Qt's own fields take it:
    // a zero-width non-joiner (Shift+Space on a Persian layout), a joiner, a
    // direction mark, a soft hyphen, a private-use character.
    QTest::newRow("typing-takes-format-and-private-use-characters")
            << "ab" << QStringList() << QStringLiteral("\u200c\u200d\u200f\u00ad\ue000")
            << QStringLiteral("ab\u200c\u200d\u200f\u00ad\ue000") << 7;
    QTest::newRow("down-crosses-an-empty-line")
            << "abc\n\nabc" << home + QStringList { "Right", "Down", "Down" } << "X"
            << "abc\n\naXbc" << 7;
}

void tst_TextField::keysEdit()
{
    QFETCH(QString, text);
    QFETCH(QStringList, keys);
    QFETCH(QString, typed);
    Shown shown;
    for (const QString &piece : text.split(u'\x1f')) {
        QVERIFY(shown.view.append(piece));
        shown.view.cursorRect(); // lays the text out as it stands, as a repaint would
    }
    press(&shown.view, keys);
    // Each character as a key that types it; keyClicks knows ASCII only.
    for (const QChar c : typed)
        QTest::sendKeyEvent(QTest::Click, &shown.view, Qt::Key_unknown, QString(c), {});
    QTEST(shown.view.text(), "expected");
    QTEST(int(shown.view.cursorPosition()), "caret");
    QVERIFY(!shown.view.hasSelection());
}

void tst_TextField::keysSelectAndCopy_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("copied");

    QTest::newRow("shift-right") << "hello world"
                                 << QStringList { "Ctrl+Home", "Right", "Shift+Right",
                                                  "Shift+Right" }
                                 << "el";
    QTest::newRow("shift-left-over-a-crlf")
            << "ab\r\ncd" << QStringList { "Left", "Left", "Shift+Left", "Shift+Left" } << "b\r\n";
    QTest::newRow("shift-end-stops-at-the-break")
            << "first line\nsecond" << QStringList { "Ctrl+Home", "Shift+End" } << "first line";
    QTest::newRow("shift-down") << "ab\ncd\nef" << QStringList { "Ctrl+Home", "Shift+Down" }
                                << "ab\n";
    QTest::newRow("ctrl-shift-home")
            << "ab\ncd" << QStringList { "Left", "Ctrl+Shift+Home" } << "ab\nc";
    // What is stored comes back, breaks and control characters as they came.
    const QString raw = QString::fromUtf8("x\r\ny\0z\rw\x1b", 9);
    QTest::newRow("ctrl-a-copies-the-raw-text") << raw << QStringList { "Ctrl+A" } << raw;
    QTest::newRow("nothing-selected-copies-nothing") << "abc" << QStringList {} << "before";
    // Words run on across the cuts of a long line.
    const QString longWord(20000, u'x');
    QTest::newRow("ctrl-shift-right-selects-a-long-word-whole")
            << longWord + " y" << QStringList { "Ctrl+Home", "Ctrl+Shift+Right" } << longWord + " ";
    QTest::newRow("ctrl-shift-left-selects-a-long-word-whole")
            << "y " + longWord << QStringList { "Ctrl+Shift+Left" } << longWord;
    QTest::newRow("ctrl-shift-right-stops-at-the-line-end-then-takes-the-crlf")
            << "ab  \r\ncd" << QStringList { "Ctrl+Home", "Ctrl+Shift+Right", "Ctrl+Shift+Right" }
            << "ab  \r\n";
    QTest::newRow("ctrl-shift-right-takes-separators-as-a-word")
            << "a.,b c" << QStringList { "Ctrl+Home", "Right", "Ctrl+Shift+Right" } << ".,";
}

void tst_TextField::keysSelectAndCopy()
{
    QFETCH(QString, text);
    QFETCH(QStringList, keys);
    Shown shown;
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    QVERIFY(shown.view.append(text));
    press(&shown.view, keys + QStringList { "Ctrl+C" });
    QTEST(QGuiApplication::clipboard()->text(), "copied");
}

void tst_TextField::selectAllThenDeleteEmptiesAndAppendsGoOn()
{
    Shown shown;
    QVERIFY(shown.view.append(QStringLiteral("one\r\ntwo\r\n")));
    press(&shown.view, { "Ctrl+A", "Delete" });
    QCOMPARE(shown.view.length(), 0);
    QVERIFY(shown.view.append(QStringLiteral("three")));
    QCOMPARE(shown.view.text(), QStringLiteral("three"));
    // Cut and paste put it back where the caret is.
    press(&shown.view, { "Ctrl+A", "Ctrl+X" });
    QCOMPARE(shown.view.length(), 0);
    press(&shown.view, { "Ctrl+V", "Ctrl+V" });
    QCOMPARE(shown.view.text(), QStringLiteral("threethree"));
}

void tst_TextField::clicksSelect_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("clickAt");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QString>("selected");

    const QString text = QStringLiteral("first words\r\nsecond line here\nthird");
    QTest::newRow("double-click-first-word") << text << 2 << 2 << "first";
    QTest::newRow("double-click-word-in-the-middle") << text << 21 << 2 << "line";
    QTest::newRow("triple-click-first-line") << text << 8 << 3 << "first words";
    QTest::newRow("triple-click-middle-line") << text << 15 << 3 << "second line here";
    QTest::newRow("triple-click-last-line") << text << 32 << 3 << "third";
    // The model cuts this line every 8 units; the user sees one line.
    const QString cutUp = QStringLiteral("abcdefghijklmnopqrstu");
    QTest::newRow("triple-click-line-across-cuts") << "a\n" + cutUp + "\nb" << 14 << 3 << cutUp;
    const QString longWord(20000, u'x');
    QTest::newRow("double-click-word-across-many-cuts")
            << "a " + longWord + " b" << 19990 << 2 << longWord;
}

void tst_TextField::clicksSelect()
{
    QFETCH(QString, text);
    QFETCH(int, clickAt);
    QFETCH(int, clicks);
    TextStore::Limits limits;
    limits.paragraphUnits = 8;
    Shown shown(limits);
    QVERIFY(shown.log.appendArrival(text));
    const QPoint point = pointOf(shown.view, clickAt);
    QWidget *viewport = shown.view.viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, point);
    QCOMPARE(shown.view.cursorPosition(), clickAt + (point.x() > pointOf(shown.view, clickAt).x()));
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, point);
    if (clicks == 3) {
        QTest::mousePress(viewport, Qt::LeftButton, {}, point);
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, point);
    }
    QTEST(shown.view.textBetween(shown.view.selectionStart(), shown.view.selectionEnd()),
          "selected");
}

void tst_TextField::shiftClickExtendsTheSelection()
{
    Shown shown;
    QVERIFY(shown.view.append(QStringLiteral("abc\r\ndef\r\nghi")));
    QWidget *viewport = shown.view.viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, pointOf(shown.view, 1) - QPoint(2, 0));
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ShiftModifier,
                      pointOf(shown.view, 11) - QPoint(2, 0));
    QCOMPARE(shown.view.textBetween(shown.view.selectionStart(), shown.view.selectionEnd()),
             QStringLiteral("bc\r\ndef\r\ng"));
}

void tst_TextField::longLinesWrapAtTheWidth()
{
    Shown shown;
    QString words;
    for (int i = 0; i < 100; ++i)
        words += QStringLiteral("word%1 ").arg(i);
    QVERIFY(shown.view.append(words));
    QVERIFY(!shown.view.horizontalScrollBar()->isVisible());
    QVERIFY(shown.view.verticalScrollBar()->isVisible());
    const QRect first = shown.view.characterRect(0);
    const QRect later = shown.view.characterRect(words.indexOf(QStringLiteral("word20")));
    QVERIFY(later.top() > first.top());
    QVERIFY(shown.view.viewport()->rect().contains(later));
    // Narrower, the same word goes further down.
    shown.view.resize(200, 300);
    QVERIFY(shown.view.characterRect(words.indexOf(QStringLiteral("word20"))).top() > later.top());
}

void tst_TextField::longLinesWrapAcrossCutsAsAWhole_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("exact"); // else: every visual line starts a word

    QString words;
    for (int i = 0; words.size() < 12000; ++i)
        words += QStringLiteral("w%1 ").arg(i % 10000, 4, 10, QLatin1Char('0'));
    words.truncate(12000);
    QTest::newRow("words-of-five-across-cuts") << words << true;
    QTest::newRow("one-word-across-cuts") << QString(20000, u'x') << true;
    QString emoji;
    while (emoji.size() < 12000)
        emoji += QStringLiteral("ab 😀");
    QTest::newRow("emoji-across-cuts") << emoji << true;
    // Longer than the stretch the layouts chain over: lines may end early
    // where the chain starts again, but never inside a word.
    QString longer;
    for (int i = 0; longer.size() < 150000; ++i)
        longer += QStringLiteral("w%1 ").arg(i % 10000, 4, 10, QLatin1Char('0'));
    QTest::newRow("words-past-a-restart") << longer << false;
}

void tst_TextField::longLinesWrapAcrossCutsAsAWhole()
{
    QFETCH(QString, line);
    QFETCH(bool, exact);
    Shown shown;
    QVERIFY(shown.view.append(line));
    press(&shown.view, { "Ctrl+Home" });
    // Page through by the trough, reading the start of every row.
    QScrollBar *bar = shown.view.verticalScrollBar();
    QList<qsizetype> seen;
    for (int page = 0; page < 10000; ++page) {
        for (int row = 0; row < pageRows(shown.view); ++row) {
            const qsizetype start = startOfRow(shown.view, row);
            if (seen.isEmpty() || start > seen.last())
                seen.append(start);
        }
        // A thumb a pixel from the bottom leaves no trough: the arrow, then.
        if (bar->value() == bar->maximum()
            || !(clickBar(bar, QStyle::SC_ScrollBarAddPage)
                 || clickBar(bar, QStyle::SC_ScrollBarAddLine)))
            break;
    }
    QCOMPARE(bar->value(), bar->maximum());
    if (exact) {
        QCOMPARE(seen, wholeLineStarts(shown.view, line));
        return;
    }
    QVERIFY(seen.size() > line.size() / 100);
    for (const qsizetype start : std::as_const(seen)) {
        if (start > 0 && line.at(start - 1) != u' ')
            QFAIL(qPrintable(
                    QStringLiteral("a visual line starts inside a word at %1").arg(start)));
    }
}

void tst_TextField::scrollBarStepsByVisualLines_data()
{
    QTest::addColumn<int>("down");
    QTest::addColumn<int>("up");
    QTest::addColumn<bool>("byPage");

    QTest::newRow("arrows") << int(QStyle::SC_ScrollBarAddLine) << int(QStyle::SC_ScrollBarSubLine)
                            << false;
    QTest::newRow("trough") << int(QStyle::SC_ScrollBarAddPage) << int(QStyle::SC_ScrollBarSubPage)
                            << true;
}

void tst_TextField::scrollBarStepsByVisualLines()
{
    QFETCH(int, down);
    QFETCH(int, up);
    QFETCH(bool, byPage);
    // One received line of 30,000 characters: some 500 visual lines.
    QString line;
    for (int i = 0; line.size() < 30000; ++i)
        line += QStringLiteral("word%1 ").arg(i * 7919 % 100000);
    Shown shown;
    QVERIFY(shown.view.append(line));
    press(&shown.view, { "Ctrl+Home" });
    const QList<qsizetype> starts = wholeLineStarts(shown.view, line);
    const qsizetype page = pageRows(shown.view);
    const qsizetype step = byPage ? page : 1;
    const qsizetype lastTop = starts.size() - page;
    QScrollBar *bar = shown.view.verticalScrollBar();
    // The bar spans the visual lines, estimated, not the paragraphs of the line.
    QVERIFY2(bar->maximum() > lastTop / 2 && bar->maximum() < lastTop * 2,
             qPrintable(QStringLiteral("%1 of %2").arg(bar->maximum()).arg(lastTop)));

    const auto top = [&] { return starts.indexOf(startOfRow(shown.view, 0)); };
    qsizetype clicks = 0;
    for (qsizetype at = 0; at < lastTop && clicks < 2000; ++clicks) {
        QVERIFY(clickBar(bar, QStyle::SubControl(down)));
        QCOMPARE(top(), std::min(at + step, lastTop));
        at = top();
    }
    QCOMPARE(clicks, (lastTop + step - 1) / step);
    QCOMPARE(bar->value(), bar->maximum());
    // The end shows whole at the bottom and stays put.
    clickBar(bar, QStyle::SubControl(down));
    QCOMPARE(top(), lastTop);
    QVERIFY(shown.view.viewport()->rect().contains(shown.view.characterRect(line.size() - 1)));

    QVERIFY(clickBar(bar, QStyle::SubControl(up)));
    QCOMPARE(top(), lastTop - step);
    // A drag puts the top where the thumb is, in proportion.
    bar->setSliderPosition(bar->maximum() / 2);
    QVERIFY2(top() > starts.size() / 4 && top() < starts.size() * 3 / 4,
             qPrintable(QString::number(top())));
    bar->setSliderPosition(0);
    QCOMPARE(top(), 0);
}

void tst_TextField::inputMethodCommitsText()
{
    Shown shown;
    QVERIFY(shown.view.append(QStringLiteral("ab\ncd")));
    press(&shown.view, { "Left" });
    QInputMethodEvent composing(QStringLiteral("e"), {});
    QApplication::sendEvent(&shown.view, &composing);
    QCOMPARE(shown.view.text(), QStringLiteral("ab\ncd")); // not text until committed
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("\u00e9"));
    QApplication::sendEvent(&shown.view, &commit);
    QCOMPARE(shown.view.text(), QStringLiteral("ab\nc\u00e9d"));
    QInputMethodQueryEvent query(Qt::ImSurroundingText | Qt::ImCursorPosition);
    QApplication::sendEvent(&shown.view, &query);
    QCOMPARE(query.value(Qt::ImSurroundingText).toString(), QStringLiteral("c\u00e9d"));
    QCOMPARE(query.value(Qt::ImCursorPosition).toInt(), 2);
}

void tst_TextField::pagesAndEndsMoveTheCaret()
{
    Shown shown;
    QString lines;
    for (int i = 0; i < 500; ++i)
        lines += QStringLiteral("line %1\r\n").arg(i);
    QVERIFY(shown.view.append(lines));
    const QRect visible = shown.view.viewport()->rect();
    press(&shown.view, { "Ctrl+Home" });
    QCOMPARE(shown.view.cursorPosition(), 0);
    QCOMPARE(shown.view.verticalScrollBar()->value(), 0);
    press(&shown.view, { "PgDown" });
    const qsizetype afterPage = shown.view.cursorPosition();
    QVERIFY(afterPage > 0);
    QVERIFY(visible.contains(shown.view.cursorRect()));
    QVERIFY(shown.view.verticalScrollBar()->value() > 0);
    press(&shown.view, { "Shift+PgDown" });
    QVERIFY(shown.view.cursorPosition() > afterPage);
    QCOMPARE(shown.view.anchorPosition(), afterPage);
    press(&shown.view, { "PgUp", "PgUp" });
    QCOMPARE(shown.view.cursorPosition(), 0);
    press(&shown.view, { "Ctrl+End" });
    QCOMPARE(shown.view.cursorPosition(), lines.size());
    QVERIFY(visible.contains(shown.view.cursorRect()));
    QCOMPARE(shown.view.verticalScrollBar()->value(), shown.view.verticalScrollBar()->maximum());
}

void tst_TextField::wheelScrollsWithoutMovingTheCaret()
{
    Shown shown;
    QVERIFY(shown.view.append(QString(300, u'\n')));
    press(&shown.view, { "Ctrl+Home" });
    const QPoint center = shown.view.viewport()->rect().center();
    QWheelEvent down(center, shown.view.viewport()->mapToGlobal(center), QPoint(), QPoint(0, -240),
                     Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(shown.view.viewport(), &down);
    const int lines = 2 * QApplication::wheelScrollLines();
    QCOMPARE(shown.view.verticalScrollBar()->value(), lines); // one line per paragraph here
    QCOMPARE(shown.view.cursorPosition(), 0);
    QCOMPARE(shown.view.positionAt(QPoint(TextField::margin, TextField::margin)), lines);
}

void tst_TextField::editsOnScreenKeepTheTopLine_data()
{
    QTest::addColumn<QStringList>("keys"); // at the start of "line n", the view's third line
    QTest::addColumn<QString>("expected"); // the third line then, %1 standing for n + below
    QTest::addColumn<int>("below");

    QTest::newRow("typing") << QStringList { "X" } << "xline %1" << 0;
    QTest::newRow("backspace-joins-two-lines") << QStringList { "Backspace" } << "line %1" << 1;
    QTest::newRow("enter-splits-a-line") << QStringList { "Return" } << "" << 0;
    QTest::newRow("typing-undone") << QStringList { "X", "Ctrl+Z" } << "line %1" << 0;
    QTest::newRow("lines-deleted")
            << QStringList { "Shift+Down", "Shift+Down", "Delete" } << "line %1" << 2;
}

void tst_TextField::editsOnScreenKeepTheTopLine()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, expected);
    QFETCH(int, below);
    Shown shown;
    QString lines;
    for (int i = 0; i < 500; ++i)
        lines += QStringLiteral("line %1\n").arg(i);
    QVERIFY(shown.view.append(lines));
    // From the end up with the wheel: the caret stays at the end, out of view.
    press(&shown.view, { "Ctrl+End" });
    const QPoint center = shown.view.viewport()->rect().center();
    const int steps = 130 / QApplication::wheelScrollLines();
    QWheelEvent up(center, shown.view.viewport()->mapToGlobal(center), QPoint(),
                   QPoint(0, steps * QWheelEvent::DefaultDeltasPerStep), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(shown.view.viewport(), &up);
    const auto row = [&](int row) {
        const qsizetype start = startOfRow(shown.view, row);
        return shown.view.textBetween(start, startOfRow(shown.view, row + 1) - 1);
    };
    const QString top = row(0);
    QScrollBar *bar = shown.view.verticalScrollBar();
    QVERIFY2(bar->value() > 0 && bar->value() < bar->maximum(), "not in the middle");
    const int third = row(2).mid(5).toInt();
    QTest::mouseClick(shown.view.viewport(), Qt::LeftButton, {},
                      QPoint(TextField::margin, TextField::margin + 2 * rowHeight(shown.view) + 1));
    press(&shown.view, keys);
    QCOMPARE(row(0), top);
    QCOMPARE(row(2), expected.contains(u'%') ? expected.arg(third + below) : expected);
}

void tst_TextField::pasteAboveTheViewKeepsTheTopOnItsText()
{
    Shown shown;
    QString lines;
    for (int i = 0; i < 500; ++i)
        lines += QStringLiteral("line %1\n").arg(i);
    QVERIFY(shown.log.appendArrival(lines));
    // The caret at the start of line 100, then the view a few lines below it.
    shown.view.setSelection(lines.indexOf("line 100"), lines.indexOf("line 100"));
    QWheelEvent down(QPoint(1, 1), shown.view.viewport()->mapToGlobal(QPoint(1, 1)), QPoint(),
                     QPoint(0, -QWheelEvent::DefaultDeltasPerStep), Qt::NoButton, Qt::NoModifier,
                     Qt::NoScrollPhase, false);
    QApplication::sendEvent(shown.view.viewport(), &down);
    QVERIFY(!shown.view.viewport()->rect().contains(shown.view.cursorRect()));
    // Lines pasted there push the text the view showed down: the view keeps
    // to that text, and so to the caret above it, which comes into view.
    QGuiApplication::clipboard()->setText(
            QStringLiteral("pasted\n").repeated(QApplication::wheelScrollLines() + 2));
    press(&shown.view, { "Ctrl+V" });
    QCOMPARE(startOfRow(shown.view, 0), shown.view.cursorPosition());
}

void tst_TextField::tabMovesTheFocus()
{
    QWidget window;
    auto *view = new TextField(&window);
    auto *line = new QLineEdit(&window);
    auto *layout = new QHBoxLayout(&window);
    layout->addWidget(view);
    layout->addWidget(line);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    view->setFocus();
    QVERIFY(view->append(QStringLiteral("ab")));
    QTest::keyClick(view, Qt::Key_Tab);
    QVERIFY(line->hasFocus());
    QTest::keyClick(line, Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY(view->hasFocus());
    QCOMPARE(view->text(), QStringLiteral("ab"));
}

// A paint that brings the arrived end into view asks for no paint of its
// own: else a stream is painted at every turn of the event loop.
void tst_TextField::paintAsksForNoOther()
{
    struct Paints : QObject
    {
        int count = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            count += event->type() == QEvent::Paint;
            return false;
        }
    } paints;
    Shown shown;
    shown.view.clearFocus(); // no caret blinks into the count
    shown.view.viewport()->installEventFilter(&paints);
    QVERIFY(shown.log.appendArrival(QStringLiteral("line\r\n").repeated(100)));
    QTRY_VERIFY(paints.count > 0);
    QTest::qWait(3 * TextField::repaintIntervalMs); // what showing it asked for
    paints.count = 0;
    QVERIFY(shown.log.appendArrival(QStringLiteral("two more\r\nlines\r\n")));
    shown.view.viewport()->repaint(); // settles, and scrolls to the new end
    // That paint and the refresh the arrival asked for; nothing after them.
    QTRY_COMPARE(paints.count, 2);
    QTest::qWait(3 * TextField::repaintIntervalMs);
    QCOMPARE(paints.count, 2);
}

void tst_TextField::appendGoesToTheEndAfterAnEdit()
{
    Shown shown;
    QVERIFY(shown.log.appendArrival(QStringLiteral("abc\r")));
    press(&shown.view, { "Ctrl+Home", "Right" });
    QTest::keyClicks(&shown.view, QStringLiteral("X"));
    // The LF that follows the arrived CR still makes one break with it.
    QVERIFY(shown.log.appendArrival(QStringLiteral("\nxyz")));
    QCOMPARE(shown.view.text(), QStringLiteral("aXbc\r\nxyz"));
    QCOMPARE(shown.view.cursorPosition(), shown.view.length());
    QVERIFY(!shown.view.hasSelection());
    QCOMPARE(shown.view.store().paragraphCount(), 2);
}

void tst_TextField::refusalSticksUntilCleared()
{
    TextStore::Limits limits;
    limits.capacity = 10;
    Shown shown(limits);
    ReceiveLog &log = shown.log;
    QVERIFY(log.appendArrival(QStringLiteral("12345")));
    QVERIFY(!log.appendArrival(QStringLiteral("123456")));
    QCOMPARE(shown.view.text(), QStringLiteral("12345"));
    // A piece that would fit is refused too, so the log never reads on across a gap.
    QVERIFY(!log.appendArrival(QStringLiteral("6")));
    // The user may still type up to the capacity.
    QTest::keyClicks(&shown.view, QStringLiteral("abcdefg"));
    QCOMPARE(shown.view.text(), QStringLiteral("12345abcde"));
    log.clear();
    QCOMPARE(shown.view.length(), 0);
    QVERIFY(log.appendArrival(QStringLiteral("6")));
    QCOMPARE(shown.view.text(), QStringLiteral("6"));
}

void tst_TextField::timeLineOnlyWithItsArrival()
{
    TextStore::Limits limits;
    limits.capacity = 12;
    Shown shown(limits);
    ReceiveLog &log = shown.log;
    QVERIFY(log.appendArrival(QLatin1StringView("ab")));
    // The line would fit, the line with its arrival would not: neither goes in.
    QVERIFY(!log.appendArrival(QLatin1StringView("wxyz"), u"[t]\r\n"));
    QCOMPARE(shown.view.text(), QStringLiteral("ab"));
}

void tst_TextField::droppedStorageGoesBackWhileTheViewAnswers_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<bool>("clear");
    QTest::addColumn<QString>("left");

    QTest::newRow("clear") << QStringList {} << true << "";
    // What a deletion took waits in the history for an undo; Clear lets it go too.
    QTest::newRow("select-all-delete-and-clear")
            << QStringList { "Ctrl+A", "Delete" } << true << "";
    QTest::newRow("delete-all-but-the-first-line")
            << QStringList { "Ctrl+Home", "Down", "Ctrl+Shift+End", "Backspace" } << false
            << "line 0\r\n";
}

void tst_TextField::droppedStorageGoesBackWhileTheViewAnswers()
{
    QFETCH(QStringList, keys);
    QFETCH(bool, clear);
    QFETCH(QString, left);

    // Whatever is dropped is kept aside, however little.
    Shown shown({ .chunkUnits = 64, .keepAsideBytes = 0 });
    for (int i = 0; i < 2000; ++i)
        QVERIFY(shown.view.append(QStringLiteral("line %1\r\n").arg(i)));
    QCoreApplication::processEvents();
    press(&shown.view, keys);
    if (clear) {
        shown.view.clear();
        QVERIFY(!shown.view.canUndo());
    }
    QCOMPARE(shown.view.text(), left);
    QVERIFY(shown.view.store().hasMemoryToRelease());

    // Arrivals go on before the storage is back.
    QVERIFY(shown.view.append(QStringLiteral("more")));
    QCOMPARE(shown.view.cursorPosition(), left.size() + 4);
    QVERIFY(shown.view.store().hasMemoryToRelease());
    // One slice a turn of the event loop gives all of it back.
    int turns = 0;
    while (shown.view.store().hasMemoryToRelease() && turns < 100) {
        QCoreApplication::processEvents();
        ++turns;
    }
    QVERIFY(!shown.view.store().hasMemoryToRelease());
    QCOMPARE(shown.view.text(), left + "more");
}

void tst_TextField::accessibleText()
{
    Shown shown;
    QVERIFY(shown.view.append(QStringLiteral("one two\r\nthree")));
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(&shown.view);
    QVERIFY(accessible);
    QCOMPARE(accessible->role(), QAccessible::EditableText);
    QVERIFY(accessible->state().multiLine && accessible->state().editable);
    QVERIFY(accessible->state().focusable);
    QAccessibleTextInterface *text = accessible->textInterface();
    QVERIFY(text);
    QCOMPARE(text->characterCount(), 14);
    QCOMPARE(text->text(4, 11), QStringLiteral("two\r\nth"));
    QCOMPARE(text->cursorPosition(), 14);

    int start = -1;
    int end = -1;
    QCOMPARE(text->textAtOffset(5, QAccessible::WordBoundary, &start, &end), QStringLiteral("two"));
    QCOMPARE(text->textAtOffset(5, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("one two\r\n"));
    QCOMPARE(text->textAfterOffset(5, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("three"));
    QCOMPARE(start, 9);
    QCOMPARE(text->textBeforeOffset(10, QAccessible::LineBoundary, &start, &end),
             QStringLiteral("one two\r\n"));
    QCOMPARE(text->textAtOffset(7, QAccessible::CharBoundary, &start, &end),
             QStringLiteral("\r\n"));

    text->setSelection(0, 4, 7);
    QCOMPARE(shown.view.selectionStart(), 4);
    QCOMPARE(shown.view.selectionEnd(), 7);
    int from = -1;
    int to = -1;
    text->selection(0, &from, &to);
    QCOMPARE(std::pair(from, to), std::pair(4, 7));

    QAccessibleEditableTextInterface *editable = accessible->editableTextInterface();
    QVERIFY(editable);
    editable->replaceText(4, 7, QStringLiteral("2"));
    editable->insertText(0, QStringLiteral(">"));
    QCOMPARE(shown.view.text(), QStringLiteral(">one 2\r\nthree"));
}

void tst_TextField::undoBringsTheCaptureBackBeforeWhatArrived()
{
    // Lines longer than a paragraph among short ones, CR LF breaks, over many chunks.
    QString capture;
    for (int i = 0; i < 3000; ++i)
        capture += QStringLiteral("line %1\r\n").arg(i) + QString(i % 100 == 0 ? 9000 : 0, u'x');
    Shown shown({ .chunkUnits = 1024 });
    QVERIFY(shown.view.append(capture));
    press(&shown.view, { "Ctrl+A", "K" });
    QCOMPARE(shown.view.text(), QStringLiteral("k"));
    QVERIFY(shown.view.append(QStringLiteral("\nNEW")));
    press(&shown.view, { "Ctrl+Z" });
    QCOMPARE(shown.view.text(), capture + "\nNEW");
    // As in Qt's own fields: the caret after what came back, nothing selected, in view.
    QCOMPARE(shown.view.cursorPosition(), capture.size());
    QVERIFY(!shown.view.hasSelection());
    QVERIFY(shown.view.viewport()->rect().intersects(shown.view.cursorRect()));
    press(&shown.view, { "Ctrl+Shift+Z" });
    QCOMPARE(shown.view.text(), QStringLiteral("k\nNEW"));
    QCOMPARE(shown.view.cursorPosition(), 1);
    press(&shown.view, { "Ctrl+Z" });
    QCOMPARE(shown.view.text(), capture + "\nNEW");
    press(&shown.view, { "Ctrl+Y" });
    QCOMPARE(shown.view.text(), QStringLiteral("k\nNEW"));
    // Typing is undone as one step, after which nothing else changes.
    press(&shown.view, { "Ctrl+End" });
    QTest::keyClicks(&shown.view, QStringLiteral("abc"));
    QCOMPARE(shown.view.text(), QStringLiteral("k\nNEWabc"));
    press(&shown.view, { "Ctrl+Z" });
    QCOMPARE(shown.view.text(), QStringLiteral("k\nNEW"));
    QCOMPARE(shown.view.cursorPosition(), 5);
}

void tst_TextField::contextMenuOffersUndoAndRedo()
{
    Shown shown;
    QVERIFY(shown.view.append(QStringLiteral("abc")));
    const auto menuActions = [&] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                                shown.view.mapToGlobal(QPoint(10, 10)));
        QCoreApplication::sendEvent(shown.view.viewport(), &event);
        QMenu *menu = shown.view.findChild<QMenu *>();
        QList<QAction *> actions = menu ? menu->actions() : QList<QAction *> {};
        QStringList found;
        for (const QAction *action : actions)
            found << (action->isSeparator()
                              ? QStringLiteral("-")
                              : action->text() + (action->isEnabled() ? "" : " (off)"));
        delete menu;
        return found;
    };
    QCOMPARE(menuActions().mid(0, 4),
             (QStringList { "&Undo (off)", "&Redo (off)", "-", "Cu&t (off)" }));
    press(&shown.view, { "Backspace" });
    QCOMPARE(menuActions().mid(0, 2), (QStringList { "&Undo", "&Redo (off)" }));
    press(&shown.view, { "Ctrl+Z" });
    QCOMPARE(menuActions().mid(0, 2), (QStringList { "&Undo (off)", "&Redo" }));
}

void tst_TextField::copyIsReadWhenAskedAndStaysWhatWasCopied_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("keys"); // from a selection of [4, 7)
    QTest::addColumn<QString>("append");   // arrives after the keys
    QTest::addColumn<bool>("clear");       // then the log is cleared
    QTest::addColumn<QString>("copied");

    const QString text = QStringLiteral("one two three");
    const QStringList copy { "Ctrl+C" };
    const QStringList toStart = copy + QStringList { "Ctrl+Home" };
    QTest::newRow("nothing-built-at-copy") << text << copy << "" << false << "two";
    QTest::newRow("appends-at-the-end") << text << copy << " four" << false << "two";
    QTest::newRow("typing-before-moves-the-range")
            << text << toStart + QStringList { "X", "Y" } << "" << false << "two";
    QTest::newRow("typing-right-after-it")
            << text << copy + QStringList { "Right", "X" } << "" << false << "two";
    QTest::newRow("typing-inside-it")
            << text << toStart + QStringList { "Right", "Right", "Right", "Right", "Right", "X" }
            << "" << false << "two";
    QTest::newRow("typing-over-it") << text << copy + QStringList { "Z" } << "" << false << "two";
    QTest::newRow("delete-everything")
            << text << copy + QStringList { "Ctrl+A", "Delete" } << "" << false << "two";
    QTest::newRow("clear") << text << copy << "" << true << "two";
    QTest::newRow("cut") << text << QStringList { "Ctrl+X" } << "" << false << "two";
    // Cyrillic, a NUL and a pair: wide chunks come out as UTF-8 whole.
    const QString wide = QString::fromUtf8("abc \xd0\xbf\0\xf0\x9f\x98\x80 end", 15);
    QTest::newRow("wide-text-and-nul-after-an-edit")
            << wide << QStringList { "Shift+Right", "Shift+Right", "Ctrl+C",
                                     "Ctrl+End",    "Ctrl+A",      "Delete" }
            << "" << false << wide.mid(4, 5);
}

void tst_TextField::copyIsReadWhenAskedAndStaysWhatWasCopied()
{
    QFETCH(QString, text);
    QFETCH(QStringList, keys);
    QFETCH(QString, append);
    QFETCH(bool, clear);
    QFETCH(QString, copied);
    Shown shown;
    QVERIFY(shown.view.append(text));
    shown.view.setSelection(4, 7);
    press(&shown.view, keys);
    if (!append.isEmpty())
        QVERIFY(shown.view.append(append));
    if (clear)
        shown.view.clear();
    const auto *mime
            = qobject_cast<const TextFieldMimeData *>(QGuiApplication::clipboard()->mimeData());
    QVERIFY(mime);
    QCOMPARE(QGuiApplication::clipboard()->text(), copied);
    // Other programs get UTF-8.
    QCOMPARE(mime->data(QStringLiteral("text/plain")), copied.toUtf8());
    QCOMPARE(mime->data(QStringLiteral("text/plain;charset=utf-8")), copied.toUtf8());
}

namespace {

// Two fields side by side in one window, as the send box and the log are.
struct TwoFields
{
    TwoFields()
    {
        auto *layout = new QHBoxLayout(&window);
        layout->addWidget(left);
        layout->addWidget(right);
        window.resize(800, 300);
        window.show();
        window.activateWindow();
    }
    QWidget window;
    TextField *left = new TextField(&window);
    TextField *right = new TextField(&window);
};

} // namespace

void tst_TextField::dropFromOutside_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("expected");

    QTest::newRow("text") << "text/plain" << false << "ab<dropped\r\ntext>cd";
    QTest::newRow("read-only-field-refuses") << "text/plain" << true << "abcd";
    QTest::newRow("not-text-is-refused") << "application/octet-stream" << false << "abcd";
}

void tst_TextField::dropFromOutside()
{
    // Another program's drag comes through the system. The offscreen platform
    // ends a QDrag at once without a drop, and a drop event made here has no
    // source, so drags out of a field (a move within it, a copy to another)
    // are checked by hand in the real window; this checks the receiving side.
    QFETCH(QString, format);
    QFETCH(bool, readOnly);
    Shown shown;
    QVERIFY(shown.view.append(QStringLiteral("abcd")));
    shown.view.setReadOnly(readOnly);
    QMimeData mime;
    mime.setData(format, "<dropped\r\ntext>");
    const QPointF at = shown.view.characterRect(2).topLeft() + QPoint(1, 2);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, {});
    QApplication::sendEvent(shown.view.viewport(), &enter);
    QCOMPARE(enter.isAccepted(), !readOnly && mime.hasText());
    QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, {});
    QApplication::sendEvent(shown.view.viewport(), &drop);
    QTEST(shown.view.text(), "expected");
}

void tst_TextField::primarySelectionAndMiddleClick_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("primary");
    QTest::addColumn<bool>("intoTheOther");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("other"); // "123" after a middle click at 1

    const QString text = QStringLiteral("alpha beta gamma");
    QTest::newRow("mouse-selection") << "drag"
                                     << "alpha be" << true << false << "1alpha be23";
    QTest::newRow("double-click") << "double"
                                  << "beta" << true << false << "1beta23";
    QTest::newRow("shift-keys") << "keys"
                                << "al" << true << false << "1al23";
    QTest::newRow("read-only-field-does-not-paste") << "double"
                                                    << "beta" << true << true << "123";
    QTest::newRow("into-the-same-field") << "double"
                                         << "beta" << false << false << "123";
}

void tst_TextField::primarySelectionAndMiddleClick()
{
    QFETCH(QString, how);
    QFETCH(bool, intoTheOther);
    QFETCH(bool, readOnly);
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard->supportsSelection())
        QSKIP("this platform has no primary selection (the X11 run covers it)");
    TwoFields fields;
    TextField *source = fields.left;
    QVERIFY(source->append(QStringLiteral("alpha beta gamma")));
    QVERIFY(fields.right->append(QStringLiteral("123")));
    QWidget *view = source->viewport();
    const QPoint start = source->characterRect(0).topLeft() + QPoint(1, 2);
    if (how == "drag") {
        QTest::mousePress(view, Qt::LeftButton, {}, start);
        QTest::mouseMove(view, pointOf(*source, 4));
        QTest::mouseMove(view, source->characterRect(8).topLeft() + QPoint(1, 2));
        QTest::mouseRelease(view, Qt::LeftButton, {},
                            source->characterRect(8).topLeft() + QPoint(1, 2));
    } else if (how == "double") {
        QTest::mouseDClick(view, Qt::LeftButton, {}, pointOf(*source, 7));
    } else {
        source->setFocus();
        press(source, { "Ctrl+Home", "Shift+Right", "Shift+Right" });
    }
    QTEST(clipboard->text(QClipboard::Selection), "primary");
    TextField *target = intoTheOther ? fields.right : source;
    target->setReadOnly(readOnly);
    const QString before = source->text();
    const QPoint at = target->characterRect(1).topLeft() + QPoint(1, 2);
    QTest::mouseClick(target->viewport(), Qt::MiddleButton, {}, at);
    if (intoTheOther)
        QTEST(fields.right->text(), "other");
    else
        QCOMPARE(source->text(),
                 before.left(1) + clipboard->text(QClipboard::Selection) + before.mid(1));
}

void tst_TextField::heldPastTheEdgeScrollsUntilReleased()
{
    Shown shown;
    QString lines;
    for (int i = 0; i < 500; ++i)
        lines += QStringLiteral("line %1\n").arg(i);
    QVERIFY(shown.view.append(lines));
    press(&shown.view, { "Ctrl+Home" });
    QWidget *view = shown.view.viewport();
    QScrollBar *bar = shown.view.verticalScrollBar();
    const QPoint start = pointOf(shown.view, 2);
    QTest::mousePress(view, Qt::LeftButton, {}, start);
    // Held still 30 pixels below the field: no more moves come.
    const QPoint below(start.x(), view->height() + 30);
    QTest::mouseMove(view, below);
    for (int turn = 0; turn < 5000 && bar->value() < 20; ++turn)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QVERIFY2(bar->value() >= 20, "the view did not go on scrolling");
    // The selection follows onto the last whole line of the view.
    QCOMPARE(shown.view.anchorPosition(), 2);
    const QRect caret = shown.view.cursorRect();
    QVERIFY(view->rect().contains(caret));
    QVERIFY(caret.bottom() + caret.height() > view->height() - TextField::margin);
    QTest::mouseRelease(view, Qt::LeftButton, {}, below);
    const int stopped = bar->value();
    for (int turn = 0; turn < 20; ++turn)
        QCoreApplication::processEvents();
    QTest::qWait(1);
    QCOMPARE(bar->value(), stopped);
}

namespace {

// The rightmost column with ink on each line of the view.
QList<int> inkPerLine(TextField &view, int lines)
{
    const QImage image = view.viewport()->grab().toImage();
    const QRgb base = view.palette().color(QPalette::Base).rgb();
    const int height = view.characterRect(0).height();
    QList<int> ink;
    for (int line = 0; line < lines; ++line) {
        int right = -1;
        for (int y = TextField::margin + line * height + 1;
             y < TextField::margin + (line + 1) * height - 1 && y < image.height(); ++y) {
            for (int x = image.width() - 1; x > right; --x) {
                if (image.pixel(x, y) != base) {
                    right = x;
                    break;
                }
            }
        }
        ink.append(right);
    }
    return ink;
}

} // namespace

void tst_TextField::preeditShowsOnceWhileDataArrives()
{
    Shown shown;
    QVERIFY(shown.log.appendArrival(QStringLiteral("ab\ncd\ngh")));
    press(&shown.view, { "Ctrl+Home" });
    const QList<int> plain = inkPerLine(shown.view, 4);
    QInputMethodEvent composing(QStringLiteral("WWWWWWWW"), {});
    QApplication::sendEvent(&shown.view, &composing);
    const QList<int> composed = inkPerLine(shown.view, 4);
    QVERIFY(composed[0] > plain[0] + 20);
    // An arrival puts the caret at the end: the preedit goes along, shown once.
    QVERIFY(shown.log.appendArrival(QStringLiteral("\nef")));
    QCoreApplication::processEvents();
    const QList<int> after = inkPerLine(shown.view, 4);
    QCOMPARE(after[0], plain[0]);
    QCOMPARE(after[1], plain[1]);
    QCOMPARE(after[2], plain[2]);
    QVERIFY(after[3] > composed[0] - 5);
    // The commit goes in at the caret as an edit.
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("W"));
    QApplication::sendEvent(&shown.view, &commit);
    QCOMPARE(shown.view.text(), QStringLiteral("ab\ncd\ngh\nefW"));
    QVERIFY(inkPerLine(shown.view, 4)[3] < after[3]);
}

namespace {

// A screen of three lines that only says how many fit.
struct ThreeLines final : TextGeometry
{
    QRect viewportRect() const override { return { 0, 0, 400, 60 }; }
    qsizetype pageLines() const override { return 3; }
    QRect caretRect(qsizetype) override { return {}; }
    qsizetype positionAt(QPoint, QTextLine::CursorPosition) override { return 0; }
    QPoint onWholeLines(QPoint point) const override { return point; }
};

} // namespace

void tst_TextField::controlWithoutAView_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QStringList>("keys"); // into "ab\ncd\nef\ngh", typed; "IM:x" commits x
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("scrolled"); // lines the view was asked to scroll
    QTest::addColumn<QString>("copied");

    const QString text = QStringLiteral("ab\ncd\nef\ngh");
    const QStringList select { "Ctrl+Home", "Shift+Right" };
    QTest::newRow("page-down-scrolls-a-page")
            << false << QStringList { "Ctrl+Home", "PgDown" } << text << 9 << 9 << 3 << "clip";
    QTest::newRow("paste-replaces-the-selection") << false << select + QStringList { "Ctrl+V" }
                                                  << "clipb\ncd\nef\ngh" << 4 << 4 << 0 << "clip";
    QTest::newRow("undo-takes-the-typing-back")
            << false << QStringList { "Ctrl+Z" } << "" << 0 << 0 << 0 << "clip";
    QTest::newRow("input-method-commits")
            << false << QStringList { "IM:X" } << text + "X" << 12 << 12 << 0 << "clip";
    // Read-only, the caret moves, selects and copies; nothing edits.
    QTest::newRow("read-only-edits-nothing")
            << true << select + QStringList { "X",         "Return",         "Backspace",
                                              "Delete",    "Ctrl+Backspace", "Ctrl+V",
                                              "Shift+Ins", "Ctrl+X",         "Ctrl+Z",
                                              "Ctrl+Y",    "IM:X",           "Shift+End",
                                              "Ctrl+C" }
            << text << 2 << 0 << 0 << "ab";
}

void tst_TextField::controlWithoutAView()
{
    QFETCH(bool, readOnly);
    QFETCH(QStringList, keys);
    TextDocument document;
    TextLayout layout(document.text());
    layout.setFont(QApplication::font());
    layout.setWidth(1000);
    ThreeLines geometry;
    TextControl control(document, layout, geometry);
    connect(&document, &TextDocument::changed, &control, [&](const TextChange &change) {
        layout.textChanged(change.from, change.removed, change.inserted);
        control.textChanged(change);
    });
    QVERIFY(control.replace(0, 0, QStringLiteral("ab\ncd\nef\ngh")));
    control.setReadOnly(readOnly);
    QGuiApplication::clipboard()->setText(QStringLiteral("clip"));
    qsizetype shown = -1;
    qsizetype scrolled = 0;
    std::pair<qsizetype, qsizetype> told;
    connect(&control, &TextControl::visibilityRequest, this, [&](qsizetype at) { shown = at; });
    connect(&control, &TextControl::scrollRequest, this, [&](qsizetype by) { scrolled += by; });
    connect(&control, &TextControl::cursorPositionChanged, this,
            [&](qsizetype cursor, qsizetype anchor) {
                told = { cursor, anchor };
            });
    for (const QString &key : std::as_const(keys)) {
        QInputMethodEvent commit;
        commit.setCommitString(key.mid(3));
        const QKeyCombination combination = QKeySequence(key)[0];
        QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers(),
                        key.size() == 1 ? key : QString());
        control.processEvent(key.startsWith(u"IM:") ? static_cast<QEvent *>(&commit) : &press,
                             nullptr);
    }
    QTEST(document.text().text(), "expected");
    QTEST(int(control.cursor()), "cursor");
    QTEST(int(control.anchor()), "anchor");
    QTEST(int(scrolled), "scrolled");
    QTEST(QGuiApplication::clipboard()->text(), "copied");
    // Wherever the caret went, the view was asked to show it and screen readers heard.
    QCOMPARE(shown, control.cursor());
    QCOMPARE(told, std::pair(control.cursor(), control.anchor()));
}

QTEST_MAIN(tst_TextField)
#include "tst_textField.moc"
