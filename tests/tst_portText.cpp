#include "text/portText.h"

#include <QString>
#include <QTest>

#include <clocale>
#include <cmath>
#include <limits>
#include <stdexcept>

class tst_PortText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void value_data();
    void value();
    void decimalCommaLocale();
    void whole_data();
    void whole();
    void wholeNumberEdges_data();
    void wholeNumberEdges();
    void blank_data();
    void blank();
};

void tst_PortText::value_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("spaces-only") << QStringLiteral("   ") << 0.0;
    QTest::newRow("letters") << QStringLiteral("abc") << 0.0;
    QTest::newRow("padded") << QStringLiteral(" 2000 ") << 2000.0;
    QTest::newRow("trailing-letters") << QStringLiteral("2000abc") << 2000.0;
    QTest::newRow("negative") << QStringLiteral("-5") << -5.0;
    QTest::newRow("plus") << QStringLiteral("+7") << 7.0;
    QTest::newRow("above-port-range") << QStringLiteral("70000") << 70000.0;
    QTest::newRow("inner-space") << QStringLiteral("1 000") << 1000.0;
    QTest::newRow("tab-and-lf-anywhere") << QStringLiteral("\t1\n0 0\t0\n") << 1000.0;
    QTest::newRow("space-after-sign") << QStringLiteral("- 5") << -5.0;
    QTest::newRow("cr-stops") << QStringLiteral("1\r2") << 1.0;
    QTest::newRow("nbsp-stops") << QStringLiteral("1\u00a0000") << 1.0;
    QTest::newRow("exponent") << QStringLiteral("1e3") << 1000.0;
    QTest::newRow("exponent-upper-signed") << QStringLiteral("25E-1") << 2.5;
    QTest::newRow("exponent-spaced") << QStringLiteral("1 e 3") << 1000.0;
    QTest::newRow("exponent-no-digits") << QStringLiteral("1e") << 1.0;
    QTest::newRow("exponent-sign-only") << QStringLiteral("1e+") << 1.0;
    QTest::newRow("exponent-huge") << QStringLiteral("1e999") << inf;
    QTest::newRow("exponent-huge-negative") << QStringLiteral("-1e999") << -inf;
    QTest::newRow("leading-point") << QStringLiteral(".5") << 0.5;
    QTest::newRow("trailing-point") << QStringLiteral("5.") << 5.0;
    QTest::newRow("point-only") << QStringLiteral(".") << 0.0;
    QTest::newRow("second-point-stops") << QStringLiteral("1.5.5") << 1.5;
    QTest::newRow("sign-only-plus") << QStringLiteral("+") << 0.0;
    QTest::newRow("sign-only-minus") << QStringLiteral("-") << 0.0;
    QTest::newRow("double-sign") << QStringLiteral("--5") << 0.0;
    QTest::newRow("c-hex-is-zero-then-x") << QStringLiteral("0x10") << 0.0;
    QTest::newRow("inf-word") << QStringLiteral("inf") << 0.0;
    QTest::newRow("nan-word") << QStringLiteral("nan") << 0.0;
    QTest::newRow("hex") << QStringLiteral("&H3E8") << 1000.0;
    QTest::newRow("hex-lower") << QStringLiteral("&h3e8") << 1000.0;
    QTest::newRow("hex-stops") << QStringLiteral("&H1G") << 1.0;
    QTest::newRow("hex-spaced") << QStringLiteral(" & H 3E8 ") << 1000.0;
    QTest::newRow("hex-32-bit") << QStringLiteral("&HFFFFFFFF") << 4294967295.0;
    QTest::newRow("octal") << QStringLiteral("&O1750") << 1000.0;
    QTest::newRow("octal-lower") << QStringLiteral("&o1750") << 1000.0;
    QTest::newRow("octal-stops-at-8") << QStringLiteral("&O178") << 15.0;
    QTest::newRow("ampersand-only") << QStringLiteral("&") << 0.0;
    QTest::newRow("ampersand-unknown") << QStringLiteral("&X12") << 0.0;
    QTest::newRow("ampersand-digit") << QStringLiteral("&12") << 0.0;
    QTest::newRow("hex-prefix-only") << QStringLiteral("&H") << 0.0;
    QTest::newRow("octal-prefix-only") << QStringLiteral("&O") << 0.0;
    QTest::newRow("sign-before-hex") << QStringLiteral("-&H10") << 0.0;
    QTest::newRow("nul-stops") << QString::fromUtf16(u"12\u00003", 4) << 12.0;
    QTest::newRow("nul-first") << QString::fromUtf16(u"\u000012", 3) << 0.0;
    QTest::newRow("nul-in-hex") << QString::fromUtf16(u"&H1\u0000F", 5) << 1.0;
    QTest::newRow("arabic-indic") << QStringLiteral("\u0661\u0662\u0663") << 0.0;
    QTest::newRow("arabic-indic-after-digit") << QStringLiteral("1\u0662") << 1.0;
    QTest::newRow("fullwidth") << QStringLiteral("\uff11\uff12\uff13") << 0.0;
    QTest::newRow("fullwidth-hex-prefix") << QStringLiteral("\uff06H10") << 0.0;
    QTest::newRow("decimal-comma") << QStringLiteral("1,5") << 1.0;
    QTest::newRow("long-leading-zeros") << QString(10000, u'0') + QStringLiteral("7") << 7.0;
    QTest::newRow("long-digits") << QStringLiteral("1") + QString(10240, u'0') << inf;
    QTest::newRow("long-fraction")
            << QStringLiteral("3") + QString(10240, u'0') + QStringLiteral(".25") << inf;
    QTest::newRow("long-hex") << QStringLiteral("&H") + QString(10240, u'F') << inf;
}

void tst_PortText::value()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(portTextValue(text), expected);
}

// The program runs under the user's locale; a comma decimal point there must not change how a
// port field reads.
void tst_PortText::decimalCommaLocale()
{
    const QByteArray saved = std::setlocale(LC_ALL, nullptr);
    const char *names[] = { "de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "ru_RU.UTF-8" };
    bool found = false;
    for (const char *name : names) {
        if (std::setlocale(LC_ALL, name) && std::localeconv()->decimal_point[0] == ',') {
            found = true;
            break;
        }
    }
    if (!found) {
        std::setlocale(LC_ALL, saved.constData());
        QSKIP("no locale with a decimal comma is installed");
    }
    const double half = portTextValue(u"2000.5");
    const double comma = portTextValue(u"1,5");
    const double exponent = portTextValue(u"2.5e3");
    const int32_t whole = portTextWhole(u"2001.5");
    std::setlocale(LC_ALL, saved.constData());
    QCOMPARE(half, 2000.5);
    QCOMPARE(comma, 1.0);
    QCOMPARE(exponent, 2500.0);
    QCOMPARE(whole, 2002);
}

void tst_PortText::whole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("throws");
    QTest::addColumn<int>("expected");

    QTest::newRow("empty") << QString() << false << 0;
    QTest::newRow("plain") << QStringLiteral(" 2000 ") << false << 2000;
    QTest::newRow("half-to-even-down") << QStringLiteral("2000.5") << false << 2000;
    QTest::newRow("half-to-even-up") << QStringLiteral("2001.5") << false << 2002;
    QTest::newRow("negative-half") << QStringLiteral("-2.5") << false << -2;
    QTest::newRow("negative-odd-half") << QStringLiteral("-3.5") << false << -4;
    QTest::newRow("zero-half") << QStringLiteral("0.5") << false << 0;
    QTest::newRow("minus-zero-half") << QStringLiteral("-.5") << false << 0;
    QTest::newRow("below-half") << QStringLiteral("2000.49999") << false << 2000;
    QTest::newRow("above-half") << QStringLiteral("2000.50001") << false << 2001;
    QTest::newRow("exponent") << QStringLiteral("1e3") << false << 1000;
    QTest::newRow("hex") << QStringLiteral("&H3E8") << false << 1000;
    QTest::newRow("octal") << QStringLiteral("&O1750") << false << 1000;
    QTest::newRow("above-port-range") << QStringLiteral("70000") << false << 70000;
    QTest::newRow("int-max") << QStringLiteral("2147483647") << false << 2147483647;
    QTest::newRow("int-max-plus-fraction") << QStringLiteral("2147483647.4") << false << 2147483647;
    QTest::newRow("int-max-half-rounds-out") << QStringLiteral("2147483647.5") << true << 0;
    QTest::newRow("int-max-plus-one") << QStringLiteral("2147483648") << true << 0;
    QTest::newRow("int-min") << QStringLiteral("-2147483648") << false << int(INT32_MIN);
    QTest::newRow("int-min-half-to-even")
            << QStringLiteral("-2147483648.5") << false << int(INT32_MIN);
    QTest::newRow("int-min-minus-one") << QStringLiteral("-2147483649") << true << 0;
    QTest::newRow("hex-past-int-max") << QStringLiteral("&H80000000") << true << 0;
    QTest::newRow("exponent-huge") << QStringLiteral("1e999") << true << 0;
    QTest::newRow("long-digits") << QString(10241, u'9') << true << 0;
    QTest::newRow("long-leading-zeros")
            << QString(10240, u'0') + QStringLiteral("42") << false << 42;
}

void tst_PortText::whole()
{
    QFETCH(QString, text);
    QFETCH(bool, throws);
    QFETCH(int, expected);
    if (throws) {
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, portTextWhole(text));
        return;
    }
    QCOMPARE(portTextWhole(text), expected);
}

void tst_PortText::wholeNumberEdges_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("throws");
    QTest::addColumn<int>("expected");

    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << true << 0;
    QTest::newRow("inf") << std::numeric_limits<double>::infinity() << true << 0;
    QTest::newRow("minus-inf") << -std::numeric_limits<double>::infinity() << true << 0;
    QTest::newRow("just-below-max-half")
            << std::nextafter(2147483647.5, 0.0) << false << 2147483647;
    QTest::newRow("tiny") << 1e-300 << false << 0;
}

void tst_PortText::wholeNumberEdges()
{
    QFETCH(double, value);
    QFETCH(bool, throws);
    QFETCH(int, expected);
    if (throws) {
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, wholeNumber(value));
        return;
    }
    QCOMPARE(wholeNumber(value), expected);
}

void tst_PortText::blank_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("blank");
    QTest::addColumn<QString>("trimmed");

    QTest::newRow("empty") << QString() << true << QString();
    QTest::newRow("spaces") << QStringLiteral("   ") << true << QString();
    QTest::newRow("tab") << QStringLiteral("\t") << false << QStringLiteral("\t");
    QTest::newRow("line-feed") << QStringLiteral(" \n ") << false << QStringLiteral("\n");
    QTest::newRow("nbsp") << QStringLiteral("\u00a0") << false << QStringLiteral("\u00a0");
    QTest::newRow("ideographic-space")
            << QStringLiteral("\u3000") << false << QStringLiteral("\u3000");
    QTest::newRow("nul") << QString(1, QChar(0)) << false << QString(1, QChar(0));
    QTest::newRow("padded-word") << QStringLiteral("  a b  ") << false << QStringLiteral("a b");
    QTest::newRow("tab-kept-inside-trim")
            << QStringLiteral(" \tx\t ") << false << QStringLiteral("\tx\t");
}

void tst_PortText::blank()
{
    QFETCH(QString, text);
    QFETCH(bool, blank);
    QFETCH(QString, trimmed);
    QCOMPARE(isBlankField(text), blank);
    QCOMPARE(trimSpaces(text).toString(), trimmed);
}

QTEST_GUILESS_MAIN(tst_PortText)
#include "tst_portText.moc"
