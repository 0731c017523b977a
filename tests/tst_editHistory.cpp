#include "field/model/EditHistory.h"
#include "field/model/TextDocument.h"
#include "field/model/TextStore.h"

#include <QScopeGuard>
#include <QTest>

#include <vector>

class tst_EditHistory : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void steps_data();
    void steps();
    void budgetDropsTheOldest();
    void undoThatNoLongerFitsIsRefused();
    void largeDeletionComesBackWhole();
    void announcesEachChangeOnce_data();
    void announcesEachChangeOnce();
};

namespace {

// Tiny chunks and paragraphs, so that every edit crosses chunk seams and cuts.
const TextStore::Limits tiny { .chunkUnits = 4, .paragraphUnits = 3 };

// Runs a script of edits, one a line:
//   type P TEXT   types TEXT at P             back P   Backspace before P
//   put F T TEXT  replaces [F, T), own step   del P    Delete after P
//   over F T TEXT types TEXT over [F, T)      move     the caret moves
//   arrive TEXT   appends TEXT                undo / redo / clear
// TEXT takes \r and \n escapes. After each step the document must have
// announced every change of its text.
void run(TextDocument &document, const QStringList &script)
{
    quint64 heard = document.text().edits();
    const QMetaObject::Connection listening
            = QObject::connect(&document, &TextDocument::changed,
                               [&heard](const TextChange &change) { heard = change.edits; });
    // A later run on the same document must not count into this one's.
    const auto stopListening = qScopeGuard([&listening] { QObject::disconnect(listening); });
    for (const QString &line : script) {
        QStringList words = line.split(u' ');
        const QString verb = words.takeFirst();
        const auto number = [&](int i) { return qsizetype(words.at(i).toLongLong()); };
        const auto piece = [&](int from) {
            return words.mid(from)
                    .join(u' ')
                    .replace(QStringLiteral("\\r"), QStringLiteral("\r"))
                    .replace(QStringLiteral("\\n"), QStringLiteral("\n"));
        };
        bool done = true;
        if (verb == u"type")
            done = document.replace(number(0), number(0), piece(1), EditHistory::Run::Typing);
        else if (verb == u"over")
            done = document.replace(number(0), number(1), piece(2), EditHistory::Run::Typing);
        else if (verb == u"put")
            done = document.replace(number(0), number(1), piece(2));
        else if (verb == u"back")
            done = document.replace(number(0) - 1, number(0), {}, EditHistory::Run::Backspace);
        else if (verb == u"del")
            done = document.replace(number(0), number(0) + 1, {}, EditHistory::Run::Delete);
        else if (verb == u"move")
            document.endRun();
        else if (verb == u"arrive")
            done = document.append(piece(0));
        else if (verb == u"undo")
            done = document.undo();
        else if (verb == u"redo")
            done = document.redo();
        else if (verb == u"clear")
            document.clear();
        else
            QFAIL(qPrintable(QStringLiteral("unknown step ") + line));
        QVERIFY2(done, qPrintable(line));
        QVERIFY2(heard == document.text().edits(), qPrintable(line));
    }
}

} // namespace

void tst_EditHistory::steps_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("undos");
    QTest::addColumn<int>("redos");

    QTest::newRow("typing-is-one-step")
            << "" << QStringList { "type 0 a", "type 1 b", "type 2 c", "undo" } << "" << 0 << 1;
    QTest::newRow("a-caret-move-ends-the-run")
            << "" << QStringList { "type 0 a", "type 1 b", "move", "type 2 c", "undo" } << "ab" << 1
            << 1;
    QTest::newRow("typing-elsewhere-starts-a-step")
            << "" << QStringList { "type 0 a", "type 0 b", "undo" } << "a" << 1 << 1;
    QTest::newRow("a-deletion-ends-the-run")
            << "" << QStringList { "type 0 a", "type 1 b", "back 2", "undo" } << "ab" << 1 << 1;
    QTest::newRow("typing-after-a-deletion-starts-a-step")
            << "xy" << QStringList { "back 2", "type 1 b", "undo" } << "x" << 1 << 1;
    QTest::newRow("backspaces-are-one-step")
            << "abcd" << QStringList { "back 4", "back 3", "back 2", "undo" } << "abcd" << 0 << 1;
    QTest::newRow("deletes-are-one-step")
            << "abcd" << QStringList { "del 0", "del 0", "del 0", "undo" } << "abcd" << 0 << 1;
    QTest::newRow("a-delete-ends-a-backspace-run")
            << "abcd" << QStringList { "back 2", "del 1", "undo" } << "acd" << 1 << 1;
    QTest::newRow("a-paste-is-a-step-of-its-own")
            << "" << QStringList { "type 0 a", "put 1 1 PASTE", "type 6 b", "undo", "undo" } << "a"
            << 1 << 2;
    QTest::newRow("typing-over-a-selection-goes-on-as-one-step")
            << "hello" << QStringList { "over 0 2 J", "type 1 x", "undo" } << "hello" << 0 << 1;
    QTest::newRow("an-arrival-ends-the-run")
            << "" << QStringList { "type 0 a", "arrive X", "type 1 b", "undo" } << "aX" << 1 << 1;
    QTest::newRow("undo-keeps-what-arrived-since")
            << "capture" << QStringList { "over 0 7 k", "arrive  NEW", "undo" } << "capture NEW"
            << 0 << 1;
    QTest::newRow("redo-keeps-what-arrived-since")
            << "capture" << QStringList { "over 0 7 k", "arrive  NEW", "undo", "arrive !", "redo" }
            << "k NEW!" << 1 << 0;
    QTest::newRow("an-edit-at-the-end-keeps-its-place")
            << "ab" << QStringList { "type 2 xy", "arrive Z", "undo" } << "abZ" << 0 << 1;
    QTest::newRow("an-edit-at-the-end-comes-back-before-later-arrivals")
            << "ab" << QStringList { "type 2 xy", "undo", "arrive Z", "redo" } << "abxyZ" << 1 << 0;
    QTest::newRow("undo-puts-a-cr-back-before-its-lf")
            << "a\r\nb" << QStringList { "put 1 2 ", "undo" } << "a\r\nb" << 0 << 1;
    QTest::newRow("redo-takes-a-cr-from-before-its-lf")
            << "a\r\nb" << QStringList { "put 1 2 ", "undo", "redo" } << "a\nb" << 1 << 0;
    QTest::newRow("undo-takes-a-cr-from-an-arrived-lf")
            << "a" << QStringList { "put 1 1 x\\r", "arrive \\nb", "undo" } << "a\nb" << 0 << 1;
    QTest::newRow("redo-puts-a-cr-back-before-an-arrived-lf")
            << "a" << QStringList { "put 1 1 x\\r", "arrive \\nb", "undo", "redo" } << "ax\r\nb"
            << 1 << 0;
    QTest::newRow("undo-all-and-redo-all-across-seams")
            << "one\r\ntwo\r\nthree"
            << QStringList { "put 3 5 ",   "put 0 1 \\n", "arrive \\r", "put 4 9 A\\rB",
                             "arrive \\n", "undo",        "undo",       "undo",
                             "redo",       "redo",        "redo" }
            << "\nnetA\rBhree\r\n"
            << 3 << 0;
    QTest::newRow("a-new-edit-drops-what-was-undone")
            << "" << QStringList { "type 0 a", "undo", "type 0 b" } << "b" << 1 << 0;
    QTest::newRow("clear-drops-everything")
            << "abc" << QStringList { "put 0 1 ", "undo", "type 0 x", "clear" } << "" << 0 << 0;
}

void tst_EditHistory::steps()
{
    QFETCH(QString, start);
    QFETCH(QStringList, script);
    TextDocument document(tiny);
    QVERIFY(document.append(start));
    run(document, script);
    const EditHistory &history = document.history();
    QTEST(document.text().text(), "expected");
    QTEST(int(history.undoCount()), "undos");
    QTEST(int(history.redoCount()), "redos");
    QCOMPARE(history.canUndo(), history.undoCount() > 0);
    QCOMPARE(history.canRedo(), history.redoCount() > 0);
}

void tst_EditHistory::budgetDropsTheOldest()
{
    // No spare: the records hold at most what would fill the text up.
    TextDocument document({ .chunkUnits = 16, .capacity = 1000, .keepAsideBytes = 0 }, 0);
    const TextStore &text = document.text();
    const EditHistory &history = document.history();
    QVERIFY(document.append(QString(300, u'a') + QString(300, u'b')));
    QVERIFY(document.replace(0, 100, {}));
    QVERIFY(document.replace(200, 300, {}));
    QCOMPARE(history.undoCount(), 2);
    QCOMPARE(history.heldUnits(), 2 * (100 + EditHistory::recordUnits));
    // 300 more units leave room for one record only: the first goes.
    QVERIFY(document.append(QString(300, u'c')));
    QCOMPARE(history.undoCount(), 1);
    QVERIFY(text.hasMemoryToRelease());
    QVERIFY(document.undo());
    QCOMPARE(text.text(), QString(200, u'a') + QString(300, u'b') + QString(300, u'c'));
    QVERIFY(!history.canUndo());
    // Once nothing is left to undo, the step redone last goes first.
    QVERIFY(document.append(QString(200, u'd')));
    QVERIFY(!history.canRedo());
    QCOMPARE(history.heldUnits(), 0);
}

void tst_EditHistory::undoThatNoLongerFitsIsRefused()
{
    TextDocument document({ .chunkUnits = 4, .capacity = 10 });
    const TextStore &text = document.text();
    const EditHistory &history = document.history();
    QVERIFY(document.append(u"0123456789"));
    QVERIFY(document.replace(0, 10, u"k", EditHistory::Run::Typing));
    QVERIFY(document.append(u"abcdefghi"));
    QVERIFY(!document.undo());
    QCOMPARE(text.text(), QStringLiteral("kabcdefghi"));
    QVERIFY(history.canUndo());
    QVERIFY(history.nextUndo() == (EditHistory::Step { 0, 1, 10 }));
}

void tst_EditHistory::largeDeletionComesBackWhole()
{
    // Lines longer than a paragraph and wide characters, over many chunks.
    QString capture;
    for (int i = 0; i < 2000; ++i)
        capture += QStringLiteral("line %1 \u4E2D\r\n").arg(i)
                   + QString(i % 7 == 0 ? 5000 : 3, u'x');
    TextDocument document({ .chunkUnits = 4096, .keepAsideBytes = 0 });
    const TextStore &text = document.text();
    const EditHistory &history = document.history();
    QVERIFY(document.append(capture));
    const qsizetype held = text.memoryBytes();
    const qsizetype middle = capture.size() / 2;
    QVERIFY(document.replace(100, capture.size() - 100, u"k", EditHistory::Run::Typing));
    // The chunks moved into the history instead of being copied or freed.
    QVERIFY2(history.memoryBytes() > held * 9 / 10, QByteArray::number(history.memoryBytes()));
    QVERIFY(document.undo());
    QCOMPARE(text.text(), capture);
    // The chunks put back are counted as if the text had arrived as it is.
    TextStore fresh({ .chunkUnits = 4096 });
    QVERIFY(fresh.append(capture));
    QCOMPARE(text.paragraphCount(), fresh.paragraphCount());
    QCOMPARE(text.paragraphAt(middle), fresh.paragraphAt(middle));
    QCOMPARE(text.paragraph(text.paragraphAt(middle)).start,
             fresh.paragraph(fresh.paragraphAt(middle)).start);
    QVERIFY(document.redo());
    QCOMPARE(text.text(), capture.left(100) + u'k' + capture.right(100));
    QVERIFY(document.undo());
    QCOMPARE(text.text(), capture);
}

void tst_EditHistory::announcesEachChangeOnce_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QStringList>("script"); // before the step heard
    QTest::addColumn<QString>("step");
    QTest::addColumn<int>("announced"); // 0: nothing changed, so nothing is heard
    QTest::addColumn<TextChange::Cause>("cause");
    QTest::addColumn<qsizetype>("from");
    QTest::addColumn<qsizetype>("removed");
    QTest::addColumn<qsizetype>("inserted");
    QTest::addColumn<QString>("removedText");

    using C = TextChange::Cause;
    using Q = QStringList;
    using N = qsizetype;
    QTest::newRow("typing") << "ab" << Q {} << "type 1 x" << 1 << C::Edit << N(1) << N(0) << N(1)
                            << "";
    QTest::newRow("backspace") << "abc" << Q {} << "back 2" << 1 << C::Edit << N(1) << N(1) << N(0)
                               << "b";
    QTest::newRow("delete") << "abc" << Q {} << "del 0" << 1 << C::Edit << N(0) << N(1) << N(0)
                            << "a";
    QTest::newRow("replace-past-the-end")
            << "hello" << Q {} << "put 3 99 Z" << 1 << C::Edit << N(3) << N(2) << N(1) << "lo";
    QTest::newRow("removed-text-told-up-to-its-limit")
            << QString(5000, u'x') << Q {} << "put 0 5000 " << 1 << C::Edit << N(0) << N(5000)
            << N(0) << QString(TextDocument::maxRemovedText, u'x');
    QTest::newRow("arrival") << "ab" << Q {} << "arrive cd" << 1 << C::Append << N(2) << N(0)
                             << N(2) << "";
    QTest::newRow("undo-of-a-run-of-typing")
            << "" << Q { "type 0 a", "type 1 b", "type 2 c" } << "undo" << 1 << C::Edit << N(0)
            << N(3) << N(0) << "abc";
    QTest::newRow("undo-beside-an-arrival")
            << "capture" << Q { "over 0 7 k", "arrive  NEW" } << "undo" << 1 << C::Edit << N(0)
            << N(1) << N(7) << "k";
    QTest::newRow("undo-taking-a-cr-from-an-arrived-lf")
            << "a" << Q { "put 1 1 x\\r", "arrive \\nb" } << "undo" << 1 << C::Edit << N(1) << N(2)
            << N(0) << "x\r";
    QTest::newRow("redo") << "" << Q { "type 0 a", "type 1 b", "undo" } << "redo" << 1 << C::Edit
                          << N(0) << N(0) << N(2) << "";
    QTest::newRow("clear") << "abc" << Q { "type 3 d" } << "clear" << 1 << C::Clear << N(0) << N(4)
                           << N(0) << "";
    QTest::newRow("clear-of-nothing")
            << "" << Q {} << "clear" << 1 << C::Clear << N(0) << N(0) << N(0) << "";
    QTest::newRow("empty-arrival")
            << "ab" << Q {} << "arrive " << 0 << C::Append << N(0) << N(0) << N(0) << "";
    QTest::newRow("empty-edit") << "ab" << Q {} << "put 1 1 " << 0 << C::Edit << N(0) << N(0)
                                << N(0) << "";
}

void tst_EditHistory::announcesEachChangeOnce()
{
    QFETCH(QString, start);
    QFETCH(QStringList, script);
    QFETCH(QString, step);
    QFETCH(int, announced);

    TextDocument document(tiny);
    QVERIFY(document.append(start));
    run(document, script);
    const qsizetype before = document.text().length();
    const quint64 editsBefore = document.text().edits();
    std::vector<TextChange> heard;
    connect(&document, &TextDocument::changed, this,
            [&heard](const TextChange &change) { heard.push_back(change); });
    run(document, { step });
    QCOMPARE(int(heard.size()), announced);
    if (heard.empty()) {
        QCOMPARE(document.text().edits(), editsBefore);
        return;
    }
    const TextChange &change = heard.front();
    QTEST(change.cause, "cause");
    QTEST(change.from, "from");
    QTEST(change.removed, "removed");
    QTEST(change.inserted, "inserted");
    QTEST(change.removedText, "removedText");
    QCOMPARE(document.text().length(), before - change.removed + change.inserted);
    QCOMPARE(change.edits, document.text().edits());
}

QTEST_GUILESS_MAIN(tst_EditHistory)
#include "tst_editHistory.moc"
