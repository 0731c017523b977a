// The control on its own, with no widget and no view: keys go in, and the
// caret, the text and what it asks of the screen come out.
#include "field/layout/TextLayout.h"
#include "field/model/TextDocument.h"
#include "field/widget/TextControl.h"
#include "field/widget/TextGeometry.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QTest>

namespace {

// A screen of pageLines lines, the first of them the text's first line.
class FakeGeometry final : public TextGeometry
{
public:
    static constexpr qsizetype pages = 3;
    explicit FakeGeometry(TextLayout &layout)
        : m_layout(layout)
    { }
    QRect viewportRect() const override { return { 0, 0, 400, int(pages) * 20 }; }
    qsizetype pageLines() const override { return pages; }
    QRect caretRect(qsizetype position) override
    {
        return { int(m_layout.xOf(position)), 0, 1, m_layout.lineHeight() };
    }
    qsizetype positionAt(QPoint point, QTextLine::CursorPosition at) override
    {
        return m_layout.positionOnLine(m_layout.moved({}, point.y() / m_layout.lineHeight()),
                                       point.x(), at);
    }
    QPoint onWholeLines(QPoint point) const override { return point; }

private:
    TextLayout &m_layout;
};

// "Ctrl+V" as a key press, "x" as the key that types it, "IM:é" as an input
// method's commit.
void send(TextControl &control, const QString &key)
{
    if (key.startsWith(u"IM:")) {
        QInputMethodEvent commit;
        commit.setCommitString(key.mid(3));
        control.processEvent(&commit, nullptr);
        return;
    }
    const QKeyCombination combination = QKeySequence(key)[0];
    QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers(),
                    key.size() == 1 ? key : QString());
    control.processEvent(&press, nullptr);
}

} // namespace

class tst_TextControl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keysWithoutAView_data();
    void keysWithoutAView();
};

void tst_TextControl::keysWithoutAView_data()
{
    QTest::addColumn<QString>("text"); // typed, an edit that can be undone
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("scrolled"); // the lines the control asked the view to scroll
    QTest::addColumn<QString>("copied");

    const QString lines = QStringLiteral("a\nb\nc\nd\ne\nf");
    QTest::newRow("shift-end-selects-to-the-line-end")
            << "abc\ndef" << false << QStringList { "Ctrl+Home", "Right", "Shift+End" }
            << "abc\ndef" << 3 << 1 << 0 << "clip";
    QTest::newRow("page-down-moves-and-scrolls-a-page")
            << lines << false << QStringList { "Ctrl+Home", "PgDown" } << lines << 6 << 6
            << int(FakeGeometry::pages) << "clip";
    QTest::newRow("down-scrolls-nothing-itself")
            << lines << false << QStringList { "Ctrl+Home", "Down", "Down" } << lines << 4 << 4 << 0
            << "clip";
    QTest::newRow("paste-replaces-the-selection")
            << "hello" << false << QStringList { "Ctrl+Home", "Shift+Right", "Ctrl+V" }
            << "clipello" << 4 << 4 << 0 << "clip";
    QTest::newRow("undo-takes-the-typing-back")
            << "hello" << false << QStringList { "Ctrl+Z" } << "" << 0 << 0 << 0 << "clip";
    QTest::newRow("input-method-commits") << "hello" << false << QStringList { "IM:\u00e9" }
                                          << "hello\u00e9" << 6 << 6 << 0 << "clip";
    // Read-only: the caret moves, selects and copies, and nothing edits.
    QTest::newRow("read-only-takes-no-typing-or-deleting")
            << "hello" << true
            << QStringList { "Ctrl+Home", "Shift+Right",    "X",        "Backspace", "Delete",
                             "Return",    "Ctrl+Backspace", "IM:\u00e9" }
            << "hello" << 1 << 0 << 0 << "clip";
    QTest::newRow("read-only-takes-no-paste-cut-or-undo")
            << "hello" << true
            << QStringList { "Ctrl+Home", "Shift+Right", "Shift+Right", "Ctrl+V", "Shift+Ins",
                             "Ctrl+X",    "Ctrl+Z",      "Ctrl+Y",      "Ctrl+C" }
            << "hello" << 2 << 0 << 0 << "he";
}

void tst_TextControl::keysWithoutAView()
{
    QFETCH(QString, text);
    QFETCH(bool, readOnly);
    QFETCH(QStringList, keys);
    QFETCH(int, cursor);
    QFETCH(int, anchor);

    TextDocument document;
    TextLayout layout(document.text());
    layout.setFont(QApplication::font());
    layout.setWidth(1000);
    FakeGeometry geometry(layout);
    TextControl control(document, layout, geometry);
    connect(&document, &TextDocument::changed, &control, [&](const TextChange &change) {
        layout.textChanged(change.from, change.removed, change.inserted);
        control.textChanged(change);
    });
    QVERIFY(control.replace(0, 0, text));
    control.setReadOnly(readOnly);
    QGuiApplication::clipboard()->setText(QStringLiteral("clip"));

    qsizetype revealed = -1;
    qsizetype scrolled = 0;
    std::pair<qsizetype, qsizetype> told { -1, -1 };
    connect(&control, &TextControl::visibilityRequest, this,
            [&](qsizetype position) { revealed = position; });
    connect(&control, &TextControl::scrollRequest, this,
            [&](qsizetype lines) { scrolled += lines; });
    connect(&control, &TextControl::cursorPositionChanged, this, [&](qsizetype at, qsizetype from) {
        told = { at, from };
    });
    for (const QString &key : std::as_const(keys))
        send(control, key);

    QTEST(document.text().text(), "expected");
    QCOMPARE(control.cursor(), cursor);
    QCOMPARE(control.anchor(), anchor);
    QTEST(int(scrolled), "scrolled");
    QTEST(QGuiApplication::clipboard()->text(), "copied");
    // Wherever the caret went, the view was asked to show it and screen
    // readers were told.
    QCOMPARE(revealed, cursor);
    QCOMPARE(told, std::pair(qsizetype(cursor), qsizetype(anchor)));
}

QTEST_MAIN(tst_TextControl)
#include "tst_textControl.moc"
