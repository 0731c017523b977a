#include "asNobody.h"
#include "windowControls.h"

#include "field/widget/TextField.h"
#include "log/LogSave.h"
#include "log/ReceiveLog.h"
#include "ui/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// Saving the receive log to a file: what lands on disk, what a failure or a
// cancel leaves, and how the field and the window offer it.
class tst_logSave : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void targets_data();
    void targets();
    void arrivalsAfterTheStartStayOut();
    void editsGoOnDuringTheSave();
    void cancelLeavesTheTargetAsItWas_data();
    void cancelLeavesTheTargetAsItWas();
    void offeredOnlyWhereTurnedOn_data();
    void offeredOnlyWhereTurnedOn();
    void windowSavesWithCtrlS();
    void windowReportsAFailure();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_mount; // a small file system mounted for the test, if any
};

namespace {

// Text of every kind the log holds, a line of it longer than a paragraph.
QString logText(qsizetype units)
{
    const QString pattern = QStringLiteral("line\r\n\u00e9\u0436\u6f22\U0001F600 lone CR\r")
                            + QChar(0) + QString(5000, u'x') + u'\n';
    QString text;
    while (text.size() < units)
        text += pattern;
    return text;
}

// "<none>" where no regular file is (a device may read forever).
QByteArray contents(const QString &path)
{
    if (!QFileInfo(path).isFile())
        return "<none>";
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

struct Ended
{
    bool started = false;
    LogSave::Outcome outcome = LogSave::Failed;
    QString cause;
};

// Runs a save of the log to its end, or 60 s at most.
Ended runSave(TextField &log, QWidget &window, const QString &path)
{
    Ended ended;
    auto *save = new LogSave(&log, path, &window);
    bool over = false;
    QObject::connect(save, &LogSave::finished, &window,
                     [&](LogSave::Outcome outcome, const QString &cause) {
                         ended.outcome = outcome;
                         ended.cause = cause;
                         over = true;
                     });
    ended.started = save->start();
    if (!ended.started) {
        ended.cause = save->errorString();
        over = true;
    }
    for (int i = 0; i < 600 && !over; ++i)
        QTest::qWait(100);
    delete save;
    return ended;
}

bool mayMount()
{
    return runsAsRoot();
}

} // namespace

void tst_logSave::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_logSave::cleanup()
{
    if (!m_mount.isEmpty())
        QProcess::execute(QStringLiteral("umount"), { m_mount });
    m_mount.clear();
    QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_dir.reset();
}

void tst_logSave::targets_data()
{
    QTest::addColumn<QString>("target");     // in the test's folder, unless absolute
    QTest::addColumn<QByteArray>("earlier"); // the target's contents before; null: none
    QTest::addColumn<QString>("place");      // "", "read-only folder", "full fs", "read-only fs"
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QString>("cause");

    const QByteArray none;
    QTest::newRow("new-file") << "receive.log" << none << "" << true << "";
    QTest::newRow("replaces-earlier")
            << "receive.log" << QByteArray("earlier\n") << "" << true << "";
    QTest::newRow("non-ascii-name")
            << QStringLiteral("журнал ✓ 漢字.log") << none << "" << true << "";
    QTest::newRow("folder-target") << "folder" << none << "" << false << "directory";
    // Windows words a missing folder its own way, and Wine its own again.
    const QString noFolder = QSysInfo::kernelType() == u"linux" ? "No such file or directory" : "";
    QTest::newRow("missing-folder") << "missing/receive.log" << none << "" << false << noFolder;
    QTest::newRow("device") << "/dev/full" << none << "" << false << "not a regular file";
    QTest::newRow("read-only-folder") << "receive.log" << QByteArray("earlier\n")
                                      << "read-only folder" << false << "ermission denied";
    QTest::newRow("full-file-system") << "receive.log" << QByteArray("earlier\n") << "full fs"
                                      << false << "No space left on device";
    QTest::newRow("read-only-file-system")
            << "receive.log" << QByteArray("earlier\n") << "read-only fs" << false << "";
}

void tst_logSave::targets()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, earlier);
    QFETCH(QString, place);
    QFETCH(bool, saved);
    QFETCH(QString, cause);

    if (!place.isEmpty() || target.startsWith(u"/dev/"))
        SKIP_UNLESS_LINUX("/dev/full, tmpfs mounts or a folder's mode that bars writing");
    QString folder = m_dir->path();
    if (place.endsWith(u"fs")) {
        if (!mayMount())
            QSKIP("mounting a small file system needs root");
        folder = m_dir->filePath(QStringLiteral("mnt"));
        QDir().mkpath(folder);
        if (QProcess::execute(QStringLiteral("mount"),
                              { "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder })
            != 0)
            QSKIP("this machine does not let a tmpfs be mounted");
        m_mount = folder;
    }
    const QString path = QDir::isAbsolutePath(target) ? target : folder + u'/' + target;
    if (target == u"folder")
        QVERIFY(QDir().mkpath(path));
    if (!earlier.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
    if (place == u"read-only folder") {
        if (runsAsRoot())
            QSKIP("root writes into read-only folders");
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }
    if (place == u"read-only fs")
        QCOMPARE(QProcess::execute(QStringLiteral("mount"), { "-o", "remount,ro", folder }), 0);
    const QStringList before = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QStringList devBefore
            = QDir("/dev").entryList({ "full*" }, QDir::AllEntries | QDir::System);

    QWidget window;
    TextField log(&window);
    // Larger than the small file system holds.
    const QString text = logText(200000);
    QVERIFY(log.append(text));
    const Ended ended = runSave(log, window, path);

    QCOMPARE(ended.outcome == LogSave::Saved, saved);
    QVERIFY2(ended.cause.contains(cause), qPrintable(ended.cause));
    if (saved) {
        QVERIFY(ended.cause.isEmpty());
        QCOMPARE(contents(path), text.toUtf8());
    } else {
        QVERIFY(!ended.cause.isEmpty());
        QCOMPARE(contents(path), earlier.isNull() ? QByteArray("<none>") : earlier);
    }
    // Nothing left behind beside the target, whatever happened.
    QStringList after = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    if (saved && earlier.isNull())
        after.removeOne(QFileInfo(path).fileName());
    QCOMPARE(after, before);
    QCOMPARE(QDir("/dev").entryList({ "full*" }, QDir::AllEntries | QDir::System), devBefore);
    if (QDir::isAbsolutePath(target)) // still the device, not a file put in its place
        QVERIFY(QFileInfo(path).exists() && !QFileInfo(path).isFile());
    QCOMPARE(log.text(), text); // the log is untouched
}

void tst_logSave::arrivalsAfterTheStartStayOut()
{
    QWidget window;
    TextField log(&window);
    const QString text = logText(3 << 20);
    QVERIFY(log.append(text));
    const QString path = m_dir->filePath(QStringLiteral("receive.log"));
    LogSave save(&log, path, &window);
    QSignalSpy ended(&save, &LogSave::finished);
    QVERIFY(save.start());
    // Arrivals while it runs, also ones that widen the last chunk.
    for (int i = 0; i < 20 && ended.isEmpty(); ++i) {
        QVERIFY(log.append(QStringLiteral("arrival \u0436\n")));
        QCoreApplication::processEvents();
    }
    QVERIFY(ended.count() == 1 || ended.wait(60000));
    QCOMPARE(ended.first().at(0).value<LogSave::Outcome>(), LogSave::Saved);
    QCOMPARE(contents(path), text.toUtf8());
}

void tst_logSave::editsGoOnDuringTheSave()
{
    QWidget window;
    TextField log(&window);
    const QString text = logText(1 << 20);
    QVERIFY(log.append(text));
    const QString path = m_dir->filePath(QStringLiteral("receive.log"));
    LogSave save(&log, path, &window);
    QSignalSpy ended(&save, &LogSave::finished);
    QVERIFY(save.start());
    // Typing, a Backspace, undo and a clear all take effect at once.
    log.setSelection(0, 0);
    QTest::keyClick(&log, Qt::Key_Q);
    QTest::keyClick(&log, Qt::Key_W);
    QTest::keyClick(&log, Qt::Key_Backspace);
    QCOMPARE(log.textBetween(0, 2), QStringLiteral("q") + text.front());
    QTest::keyClick(&log, Qt::Key_Z, Qt::ControlModifier); // the Backspace
    QTest::keyClick(&log, Qt::Key_Z, Qt::ControlModifier); // the typing
    QCOMPARE(log.text(), text);
    log.clear();
    QVERIFY(log.append(QStringLiteral("after\n")));
    QVERIFY(ended.count() == 1 || ended.wait(60000));
    QCOMPARE(ended.first().at(0).value<LogSave::Outcome>(), LogSave::Saved);
    QCOMPARE(contents(path), text.toUtf8());
    QCOMPARE(log.text(), QStringLiteral("after\n"));
}

void tst_logSave::cancelLeavesTheTargetAsItWas_data()
{
    QTest::addColumn<QByteArray>("earlier");
    QTest::newRow("no-earlier-file") << QByteArray();
    QTest::newRow("earlier-file") << QByteArray("earlier\n");
}

void tst_logSave::cancelLeavesTheTargetAsItWas()
{
    QFETCH(QByteArray, earlier);
    const QString path = m_dir->filePath(QStringLiteral("receive.log"));
    if (!earlier.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
    QWidget window;
    TextField log(&window);
    QVERIFY(log.append(logText(1 << 20)));
    LogSave save(&log, path, &window);
    QSignalSpy ended(&save, &LogSave::finished);
    QVERIFY(save.start());
    auto *progress = window.findChild<QProgressDialog *>(QStringLiteral("saveProgress"));
    QVERIFY(progress);
    auto *cancel = progress->findChild<QPushButton *>();
    QVERIFY(cancel);
    cancel->click();
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().at(0).value<LogSave::Outcome>(), LogSave::Cancelled);
    QCOMPARE(contents(path), earlier.isNull() ? QByteArray("<none>") : earlier);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).size(), earlier.isNull() ? 0 : 1);
}

void tst_logSave::offeredOnlyWhereTurnedOn_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::newRow("send-box-default") << false;
    QTest::newRow("receive-log") << true;
}

void tst_logSave::offeredOnlyWhereTurnedOn()
{
    QFETCH(bool, enabled);
    TextField field;
    // Save As is the receive log's, not every field's.
    int asked = 0;
    if (enabled)
        connect(new ReceiveLog(&field), &ReceiveLog::saveAsRequested, [&asked] { ++asked; });
    field.show();
    QVERIFY(QTest::qWaitForWindowExposed(&field));
    QTest::keyClick(&field, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(asked, enabled ? 1 : 0);

    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5),
                                field.viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(field.viewport(), &menuEvent);
    auto *menu = field.findChild<QMenu *>();
    QVERIFY(menu);
    QAction *saveAs = nullptr;
    for (QAction *action : menu->actions())
        if (action->text() == QStringLiteral("Save &As…"))
            saveAs = action;
    QCOMPARE(saveAs != nullptr, enabled);
    if (saveAs) {
        QCOMPARE(saveAs->shortcut(), QKeySequence(QKeySequence::Save));
        saveAs->trigger();
        QCOMPARE(asked, 2);
    }
    menu->close();
}

void tst_logSave::windowSavesWithCtrlS()
{
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QString text = logText(2 << 20);
    // The log is filled as arrivals fill it; a socket would add nothing here.
    QVERIFY(control<TextField>(window, "txtReceive")->append(text));
    const QString path = m_dir->filePath(QStringLiteral("first.log"));
    QString shownFolder;
    const auto answer = [&](const QString &file) {
        QTimer::singleShot(0, &window, [&, file] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            shownFolder = dialog->directory().absolutePath();
            if (file.isEmpty()) {
                dialog->reject();
                return;
            }
            dialog->selectFile(file);
            static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        });
    };
    control<TextField>(window, "txtReceive")->setFocus();
    answer(path);
    QTest::keyClick(control<TextField>(window, "txtReceive"), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(shownFolder, QDir::homePath());
    // Arrivals and Clear go on during the save, which writes the log as it was.
    QVERIFY(control<TextField>(window, "txtReceive")->append(QStringLiteral("later\n")));
    QVERIFY(control<QPushButton>(window, "cmdClear")->isEnabled());
    control<QPushButton>(window, "cmdClear")->click();
    QCOMPARE(control<TextField>(window, "txtReceive")->length(), 0);
    // Over once the save lets go of itself; only then is the next one taken.
    QTRY_VERIFY_WITH_TIMEOUT(window.findChild<LogSave *>() == nullptr, 60000);
    QCOMPARE(contents(path), text.toUtf8());
    QVERIFY2(!panelText(window, 1).startsWith(u"Save failed"), qPrintable(panelText(window, 1)));

    // The next dialog opens where the last save went.
    answer(QString());
    QTest::keyClick(control<TextField>(window, "txtReceive"), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(shownFolder, m_dir->path());
}

void tst_logSave::windowReportsAFailure()
{
    SKIP_UNLESS_LINUX("/dev/full");
    frmMain window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(control<TextField>(window, "txtReceive")->append(QStringLiteral("abc\n")));
    QTimer::singleShot(0, &window, [] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            dialog->selectFile(QStringLiteral("/dev/full"));
            static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        }
    });
    control<TextField>(window, "txtReceive")->setFocus();
    QTest::keyClick(control<TextField>(window, "txtReceive"), Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(panelText(window, 1), QStringLiteral("Save failed: /dev/full is not a regular file"));
    QVERIFY(control<QPushButton>(window, "cmdClear")->isEnabled());
    QVERIFY(QFileInfo(QStringLiteral("/dev/full")).exists());
    QVERIFY(!QFileInfo(QStringLiteral("/dev/full")).isFile());
}

QTEST_MAIN(tst_logSave)
#include "tst_logSave.moc"
