// The strips' pure rules: a pattern counted in a stream given in pieces, and
// the absolute schedule of a repetition, how rates and times are written, and
// what the TLS strip hands a role.

#include "field/widget/TextField.h"
#include "strips/RepeatSchedule.h"
#include "strips/StreamMatch.h"
#include "strips/TlsStrip.h"
#include "strips/rates.h"
#include "tls/tlsWords.h"

#include <QCheckBox>
#include <QLineEdit>

#include <QList>
#include <QTest>

class tst_Strips : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void streamMatch_data();
    void streamMatch();
    void schedule_data();
    void schedule();
    void rates_data();
    void rates();
    void tlsSettingsForRoles();
};

void tst_Strips::streamMatch_data()
{
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<qsizetype>>("counts"); // occurrences ending in each piece

    using B = QByteArray;
    using L = QList<B>;
    using C = QList<qsizetype>;
    QTest::newRow("whole") << B("PING") << L { "xPINGy" } << C { 1 };
    QTest::newRow("at-start-and-end") << B("PING") << L { "PINGxxPING" } << C { 2 };
    QTest::newRow("across-a-cut") << B("PING") << L { "xxPI", "NGyy" } << C { 0, 1 };
    QTest::newRow("cut-at-every-byte") << B("PING") << L { "P", "I", "N", "G" } << C { 0, 0, 0, 1 };
    QTest::newRow("cut-then-whole") << B("PING") << L { "xPIN", "GPINGP" } << C { 0, 2 };
    QTest::newRow("false-start-across") << B("aab") << L { "aa", "aab" } << C { 0, 1 };
    QTest::newRow("overlapping-once") << B("aa") << L { "aaa" } << C { 1 };
    QTest::newRow("overlapping-across-a-cut") << B("aba") << L { "ab", "aba" } << C { 0, 1 };
    QTest::newRow("adjacent-twice") << B("aa") << L { "a", "aaa" } << C { 0, 2 };
    QTest::newRow("counted-bytes-begin-nothing") << B("aa") << L { "xaa", "a" } << C { 1, 0 };
    QTest::newRow("binary") << B("\x00\xFF", 2) << L { B("\x01\x00", 2), B("\xFF\x00\xFF", 3) }
                            << C { 0, 2 };
    QTest::newRow("utf8-character-split") << QStringLiteral("é✓").toUtf8()
                                          << L { "x\xC3", "\xA9\xE2\x9C", "\x93" } << C { 0, 0, 1 };
    QTest::newRow("empty-pattern") << B() << L { "anything" } << C { 0 };
}

void tst_Strips::streamMatch()
{
    QFETCH(QByteArray, pattern);
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<qsizetype>, counts);

    StreamMatch match(pattern);
    QList<qsizetype> found;
    for (const QByteArray &piece : pieces)
        found.append(match.feed(piece));
    QCOMPARE(found, counts);
    // Each piece again as a stream of its own: the same pieces count alone.
    match.restart();
    QCOMPARE(match.feed(pieces.constLast()), StreamMatch(pattern).feed(pieces.constLast()));
}

void tst_Strips::schedule_data()
{
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<qint64>("next");
    QTest::addColumn<qint64>("tick");
    QTest::addColumn<qint64>("skipped");
    QTest::addColumn<qint64>("wait"); // then, until the tick after it

    // Interval 10.
    QTest::newRow("start") << qint64(0) << qint64(0) << qint64(0) << qint64(0) << qint64(10);
    QTest::newRow("on-time") << qint64(30) << qint64(3) << qint64(3) << qint64(0) << qint64(10);
    QTest::newRow("late-within-interval")
            << qint64(39) << qint64(3) << qint64(3) << qint64(0) << qint64(1);
    QTest::newRow("fell-behind-two")
            << qint64(52) << qint64(3) << qint64(5) << qint64(2) << qint64(8);
}

void tst_Strips::schedule()
{
    QFETCH(qint64, elapsed);
    QFETCH(qint64, next);
    QFETCH(qint64, tick);
    QFETCH(qint64, skipped);
    QFETCH(qint64, wait);

    const RepeatStep step = stepAt(elapsed, 10, next);
    QCOMPARE(step.tick, tick);
    QCOMPARE(step.skipped, skipped);
    QCOMPARE(waitFor(elapsed, 10, step.tick + 1), wait);
}

void tst_Strips::rates_data()
{
    QTest::addColumn<double>("bytesPerSecond");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<double>("secondsLeft");
    QTest::addColumn<QString>("left");

    QTest::newRow("nothing") << 0.0 << "0 B/s" << -1.0 << "time left unknown";
    QTest::newRow("below-a-thousand") << 999.4 << "999 B/s" << 0.2 << "1 s left";
    QTest::newRow("rounds-into-next-unit") << 999'960.0 << "1.0 MB/s" << 119.5 << "120 s left";
    QTest::newRow("gigabytes") << 2.5e9 << "2.5 GB/s" << 600.0 << "10 min left";
    QTest::newRow("past-the-last-unit") << 3e13 << "30000.0 GB/s" << 601.0 << "11 min left";
}

void tst_Strips::rates()
{
    QFETCH(double, bytesPerSecond);
    QFETCH(QString, rate);
    QFETCH(double, secondsLeft);
    QFETCH(QString, left);

    QCOMPARE(rateText(bytesPerSecond), rate);
    QCOMPARE(timeLeftText(secondsLeft), left);
}

void tst_Strips::tlsSettingsForRoles()
{
    TextField log;
    TextField sendBox;
    TlsStrip strip(&log, &sendBox);
    QVERIFY(!strip.forClient());
    QVERIFY(!strip.forServer());

    strip.open();
    auto *use = strip.findChild<QCheckBox *>(QStringLiteral("tlsUse"));
    use->setChecked(true);
    // Escape closes the strip and leaves the choice as it is.
    QTest::keyClick(use, Qt::Key_Escape);
    QVERIFY(strip.isHidden());
    QVERIFY(strip.forClient() && strip.forClient()->checkPeer);
    strip.findChild<QCheckBox *>(QStringLiteral("tlsCheckPeer"))->setChecked(false);
    QVERIFY(!strip.forClient()->checkPeer);

    // This run's certificate is made once: every server of the run shows the same.
    const std::optional<TlsSettings> first = strip.forServer();
    QVERIFY(first && !first->identity.isNull());
    QCOMPARE(fingerprint(strip.forServer()->identity.certificate),
             fingerprint(first->identity.certificate));
    QVERIFY(strip.findChild<QLineEdit *>(QStringLiteral("tlsServerCertificate"))
                    ->text()
                    .contains(fingerprint(first->identity.certificate)));
}

QTEST_MAIN(tst_Strips)
#include "tst_strips.moc"
