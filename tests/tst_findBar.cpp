#include "field/widget/FindBar.h"
#include "field/widget/TextField.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

// The find bar as users meet it: Ctrl+F in a field, keys in the bar, the
// field's selection and the bar's words as what they get back.
class tst_FindBar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void opensInsideTheFieldBelowTheText();
    void takesAShortSelectionOnOneLine_data();
    void takesAShortSelectionOnOneLine();
    void stepsThroughMatches_data();
    void stepsThroughMatches();
    void scrollsTheMatchIntoView_data();
    void scrollsTheMatchIntoView();
    void notFoundLeavesTheSelection();
    void closesBackToTheFieldAndF3GoesOn_data();
    void closesBackToTheFieldAndF3GoesOn();
    void isInTheTabOrderOnlyWhileOpen();
    void emptyTextDoesNothing();
    void searchingLeavesUndoAlone();
    void highlightsMatchesOnScreen();
    void pastedMegabyteIsSearched_data();
    void pastedMegabyteIsSearched();

private:
    // Ctrl+F in the field, then the text typed (or pasted) into the bar.
    QLineEdit *openWith(const QString &text);
    QLabel *status() const { return m_field->findChild<QLabel *>("findStatus"); }

    std::unique_ptr<QWidget> m_window;
    TextField *m_field = nullptr;
    QLineEdit *m_after = nullptr;
};

void tst_FindBar::init()
{
    m_window = std::make_unique<QWidget>();
    auto *column = new QVBoxLayout(m_window.get());
    m_field = new TextField(m_window.get());
    m_after = new QLineEdit(m_window.get());
    column->addWidget(m_field);
    column->addWidget(m_after);
    m_window->resize(480, 320);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_field->setFocus();
}

void tst_FindBar::cleanup()
{
    m_window.reset();
}

QLineEdit *tst_FindBar::openWith(const QString &text)
{
    m_field->setFocus();
    QTest::keyClick(m_field, Qt::Key_F, Qt::ControlModifier);
    auto *find = m_field->findChild<QLineEdit *>("findText");
    if (find) {
        find->clear();
        QApplication::clipboard()->setText(text);
        QTest::keyClick(find, Qt::Key_V, Qt::ControlModifier);
    }
    return find;
}

void tst_FindBar::opensInsideTheFieldBelowTheText()
{
    m_field->append(QStringLiteral("line\n").repeated(200));
    QLineEdit *find = openWith(QString());
    QVERIFY(find);
    auto *bar = m_field->findChild<FindBar *>();
    QVERIFY(bar->isVisible());
    QCOMPARE(QApplication::focusWidget(), find);
    QCOMPARE(find->accessibleName(), QStringLiteral("Find"));
    QVERIFY(!m_field->findChild<QCheckBox *>("findMatchCase")->isChecked());
    // Inside the field, along its bottom, and the text does not run under it.
    QVERIFY(m_field->rect().contains(bar->geometry()));
    QVERIFY(bar->geometry().bottom() >= m_field->height() - m_field->frameWidth() - 1);
    QVERIFY(m_field->viewport()->geometry().bottom() < bar->geometry().top());
    const QSize fieldSize = m_field->size();
    QTest::keyClick(find, Qt::Key_Escape);
    QCOMPARE(m_field->size(), fieldSize);
    QVERIFY(m_field->viewport()->geometry().bottom() >= bar->geometry().top());
}

void tst_FindBar::takesAShortSelectionOnOneLine_data()
{
    QTest::addColumn<qsizetype>("from");
    QTest::addColumn<qsizetype>("to");
    QTest::addColumn<QString>("taken");

    // The text is "alpha beta\ngamma " then 300 x's.
    QTest::newRow("a-word") << qsizetype(6) << qsizetype(10) << QStringLiteral("beta");
    QTest::newRow("across-a-line-break") << qsizetype(6) << qsizetype(13) << QString();
    QTest::newRow("too-long") << qsizetype(17) << qsizetype(17 + FindBar::seedLimit + 1)
                              << QString();
    QTest::newRow("nothing-selected") << qsizetype(3) << qsizetype(3) << QString();
}

void tst_FindBar::takesAShortSelectionOnOneLine()
{
    QFETCH(qsizetype, from);
    QFETCH(qsizetype, to);
    QFETCH(QString, taken);

    m_field->append(QStringLiteral("alpha beta\ngamma ") + QString(300, u'x'));
    m_field->setSelection(from, to);
    QTest::keyClick(m_field, Qt::Key_F, Qt::ControlModifier);
    auto *find = m_field->findChild<QLineEdit *>("findText");
    QVERIFY(find);
    QCOMPARE(find->text(), taken);
    // Typing replaces what was taken.
    QVERIFY(find->text().isEmpty() || find->selectedText() == taken);
}

void tst_FindBar::stepsThroughMatches_data()
{
    QTest::addColumn<QString>("keys"); // n: Enter, p: Shift+Enter, N: F3, P: Shift+F3
    QTest::addColumn<bool>("matchCase");
    QTest::addColumn<qsizetype>("selected");
    QTest::addColumn<QString>("said");

    // The text is "Cat cat\r\nCAT dog cat", the caret at 1; "cat" is sought.
    QTest::newRow("next") << "n" << false << qsizetype(4) << QString();
    QTest::newRow("next-twice") << "nn" << false << qsizetype(9) << QString();
    QTest::newRow("wraps-to-the-top") << "nnnn" << false << qsizetype(0) << "Wrapped to the top";
    QTest::newRow("f3-alike") << "NN" << false << qsizetype(9) << QString();
    QTest::newRow("previous") << "p" << false << qsizetype(0) << QString();
    QTest::newRow("previous-wraps-to-the-bottom")
            << "pp" << false << qsizetype(17) << "Wrapped to the bottom";
    QTest::newRow("back-and-forth") << "nnp" << false << qsizetype(4) << QString();
    QTest::newRow("shift-f3") << "nnP" << false << qsizetype(4) << QString();
    QTest::newRow("match-case") << "nn" << true << qsizetype(17) << QString();
}

void tst_FindBar::stepsThroughMatches()
{
    QFETCH(QString, keys);
    QFETCH(bool, matchCase);
    QFETCH(qsizetype, selected);
    QFETCH(QString, said);

    m_field->append(QStringLiteral("Cat cat\r\nCAT dog cat"));
    m_field->setSelection(1, 1);
    QLineEdit *find = openWith(QStringLiteral("cat"));
    QVERIFY(find);
    if (matchCase)
        m_field->findChild<QCheckBox *>("findMatchCase")->setChecked(true);
    for (const QChar key : keys) {
        const qsizetype before = m_field->selectionStart();
        const bool back = key.toLower() == u'p';
        const Qt::Key which = key.isLower() ? Qt::Key_Return : Qt::Key_F3;
        QTest::keyClick(find, which, back ? Qt::ShiftModifier : Qt::NoModifier);
        // Each step selects another match, except one that wraps onto itself.
        QTRY_VERIFY(m_field->selectionStart() != before && m_field->hasSelection());
    }
    QCOMPARE(m_field->selectionStart(), selected);
    QCOMPARE(m_field->selectionEnd(), selected + 3);
    QCOMPARE(status()->text(), said);
    QCOMPARE(QApplication::focusWidget(), find);
}

void tst_FindBar::scrollsTheMatchIntoView_data()
{
    QTest::addColumn<QString>("sought");
    QTest::addColumn<bool>("fromTheEnd");
    QTest::newRow("middle") << QStringLiteral("line 250:") << false;
    QTest::newRow("last-line") << QStringLiteral("line 499:") << false;
    QTest::newRow("first-line") << QStringLiteral("line 0:") << true;
}

void tst_FindBar::scrollsTheMatchIntoView()
{
    QFETCH(QString, sought);
    QFETCH(bool, fromTheEnd);

    for (int i = 0; i < 500; ++i)
        m_field->append(QStringLiteral("line %1: some words\n").arg(i));
    m_field->setSelection(fromTheEnd ? m_field->length() : 1, fromTheEnd ? m_field->length() : 1);
    QLineEdit *find = openWith(sought);
    QTest::keyClick(find, Qt::Key_Return);
    QTRY_VERIFY(m_field->hasSelection());
    QCOMPARE(m_field->textBetween(m_field->selectionStart(), m_field->selectionEnd()), sought);
    // Whole on screen, above the bar rather than under it.
    const QRect view = m_field->viewport()->rect();
    QVERIFY(view.contains(m_field->characterRect(m_field->selectionStart())));
    QVERIFY(view.contains(m_field->characterRect(m_field->selectionEnd() - 1)));
}

void tst_FindBar::notFoundLeavesTheSelection()
{
    m_field->append(QStringLiteral("one two three"));
    m_field->setSelection(4, 7);
    QLineEdit *find = openWith(QStringLiteral("four"));
    QTest::keyClick(find, Qt::Key_Return);
    QTRY_COMPARE(status()->text(), QStringLiteral("Not found"));
    // Screen readers hear it with the find field.
    QCOMPARE(find->accessibleDescription(), QStringLiteral("Not found"));
    QCOMPARE(m_field->selectionStart(), qsizetype(4));
    QCOMPARE(m_field->selectionEnd(), qsizetype(7));
}

void tst_FindBar::closesBackToTheFieldAndF3GoesOn_data()
{
    QTest::addColumn<bool>("byCtrlF");
    QTest::newRow("escape") << false;
    QTest::newRow("ctrl-f") << true;
}

void tst_FindBar::closesBackToTheFieldAndF3GoesOn()
{
    QFETCH(bool, byCtrlF);

    m_field->append(QStringLiteral("ab ab ab"));
    m_field->setSelection(1, 1);
    QLineEdit *find = openWith(QStringLiteral("ab"));
    QTest::keyClick(find, Qt::Key_Return);
    QTRY_COMPARE(m_field->selectionStart(), qsizetype(3));
    if (byCtrlF)
        QTest::keyClick(find, Qt::Key_F, Qt::ControlModifier);
    else
        QTest::keyClick(find, Qt::Key_Escape);
    QVERIFY(!m_field->findChild<FindBar *>()->isVisible());
    QCOMPARE(QApplication::focusWidget(), m_field);
    QCOMPARE(m_field->selectionStart(), qsizetype(3));
    QCOMPARE(m_field->selectionEnd(), qsizetype(5));
    QTest::keyClick(m_field, Qt::Key_F3);
    QTRY_COMPARE(m_field->selectionStart(), qsizetype(6));
    QTest::keyClick(m_field, Qt::Key_F3, Qt::ShiftModifier);
    QTRY_COMPARE(m_field->selectionStart(), qsizetype(3));
    QCOMPARE(m_field->text(), QStringLiteral("ab ab ab"));
}

void tst_FindBar::isInTheTabOrderOnlyWhileOpen()
{
    const auto tabFrom = [](QWidget *from) {
        from->setFocus();
        QTest::keyClick(from, Qt::Key_Tab);
        return QApplication::focusWidget();
    };
    QCOMPARE(tabFrom(m_field), m_after);
    QLineEdit *find = openWith(QString());
    auto *matchCase = m_field->findChild<QCheckBox *>("findMatchCase");
    QCOMPARE(tabFrom(m_field), find);
    QCOMPARE(tabFrom(find), matchCase);
    QCOMPARE(tabFrom(matchCase), m_after);
    QTest::keyClick(find, Qt::Key_Escape);
    QCOMPARE(tabFrom(m_field), m_after);
}

void tst_FindBar::emptyTextDoesNothing()
{
    m_field->append(QStringLiteral("text"));
    m_field->setSelection(1, 2);
    QLineEdit *find = openWith(QString());
    QTest::keyClick(find, Qt::Key_Return);
    QTest::keyClick(find, Qt::Key_F3);
    QCOMPARE(status()->text(), QString());
    QCOMPARE(m_field->selectionStart(), qsizetype(1));
    QCOMPARE(m_field->selectionEnd(), qsizetype(2));
    // F3 in the field has no search to repeat.
    QTest::keyClick(find, Qt::Key_Escape);
    QTest::keyClick(m_field, Qt::Key_F3);
    QCOMPARE(m_field->selectionStart(), qsizetype(1));
}

void tst_FindBar::searchingLeavesUndoAlone()
{
    QTest::keyClicks(m_field, QStringLiteral("abc abc"));
    QVERIFY(m_field->canUndo());
    QLineEdit *find = openWith(QStringLiteral("abc"));
    QTest::keyClick(find, Qt::Key_Return);
    QTRY_VERIFY(m_field->hasSelection());
    QTest::keyClick(find, Qt::Key_Escape);
    QVERIFY(m_field->canUndo());
    QVERIFY(!m_field->canRedo());
    QTest::keyClick(m_field, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(m_field->text(), QString());
    QTest::keyClick(m_field, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(m_field->text(), QStringLiteral("abc abc"));
}

void tst_FindBar::highlightsMatchesOnScreen()
{
    m_field->append(QStringLiteral("xx ab xx ab xx"));
    m_field->setSelection(0, 0);
    QLineEdit *find = openWith(QStringLiteral("ab"));
    QTest::keyClick(find, Qt::Key_Return);
    QTRY_COMPARE(m_field->selectionStart(), qsizetype(3));
    const auto colourAt = [this](qsizetype position) {
        const QRect cell = m_field->characterRect(position);
        return m_field->viewport()->grab().toImage().pixelColor(cell.left() + 1, cell.top() + 1);
    };
    const QColor plain = colourAt(0);
    const QColor current = colourAt(3);
    const QColor other = colourAt(9);
    QVERIFY2(other != plain, qPrintable(other.name()));
    QVERIFY2(other != current, qPrintable(other.name()));
    QTest::keyClick(find, Qt::Key_Escape);
    QCOMPARE(colourAt(9), plain);
}

void tst_FindBar::pastedMegabyteIsSearched_data()
{
    QTest::addColumn<bool>("inTheLog");
    QTest::newRow("found") << true;
    QTest::newRow("longer-than-the-log") << false;
}

void tst_FindBar::pastedMegabyteIsSearched()
{
    QFETCH(bool, inTheLog);

    const QString record = QStringLiteral("UDP IN  (0004) : 41 42 43 44 \r\n");
    const QString megabyte = record.repeated((1 << 20) / record.size());
    m_field->append(record.repeated(100));
    if (inTheLog)
        m_field->append(megabyte + QStringLiteral("tail"));
    m_field->setSelection(0, 0);
    QLineEdit *find = openWith(megabyte + QStringLiteral("t"));
    QCOMPARE(find->text().size(), megabyte.size() + 1);
    QTest::keyClick(find, Qt::Key_Return);
    if (inTheLog) {
        QTRY_COMPARE(m_field->selectionStart(), 100 * record.size());
        QCOMPARE(m_field->selectionEnd(), 100 * record.size() + megabyte.size() + 1);
    } else {
        QTRY_COMPARE(status()->text(), QStringLiteral("Not found"));
    }
}

QTEST_MAIN(tst_FindBar)
#include "tst_findBar.moc"
