#include "platform/decimalseparator.h"
#include "platform/errors.h"
#include "screens/offerrules.h"

#include <QTest>
#include <limits>

// The offer rules with a fixed regional format (en_US: "$1,234.50", negative "($1.00)"),
// so that the captions can be written out.
class OfferRulesTest : public QObject
{
    Q_OBJECT

private:
    const QLocale us{QLocale::English, QLocale::UnitedStates};

private slots:
    void initTestCase() { setDecimalSeparator('.'); }
    void cleanup() { setDecimalSeparator('.'); }
    void offers_data();
    void offers();
    void fixedCurrencyRounding_data();
    void fixedCurrencyRounding();
    void amountsBeyondSixtyFourBitsAreRefused_data();
    void amountsBeyondSixtyFourBitsAreRefused();
    void currencyText_data();
    void currencyText();
    void currencyTextFollowsTheRegionalFormat();
};

void OfferRulesTest::offers_data()
{
    QTest::addColumn<double>("credit");
    QTest::addColumn<QList<int>>("counts");
    QTest::addColumn<QList<double>>("prices");
    QTest::addColumn<int>("choices");
    QTest::addColumn<QString>("offered"); // s, m, l for the pictures shown; P = partial small
    QTest::addColumn<QString>("stext");
    QTest::addColumn<QString>("mtext");
    QTest::addColumn<QString>("ltext");

    const QList<int> usual{30, 60, 90};
    const QList<double> prices{20.0, 35.0, 50.0};
    const QString m = "60 balls / $35.00", l = "90 balls / $50.00";
    QTest::newRow("above large") << 250.0 << usual << prices << 3 << "sml"
                                 << "30 balls / $20.00" << m << l;
    QTest::newRow("equal large") << 50.0 << usual << prices << 3 << "sml"
                                 << "30 balls / $20.00" << m << l;
    QTest::newRow("medium") << 49.99 << usual << prices << 2 << "sm"
                            << "30 balls / $20.00" << m << l;
    QTest::newRow("small") << 34.99 << usual << prices << 1 << "s"
                           << "30 balls / $20.00" << m << l;
    QTest::newRow("partial") << 10.0 << usual << prices << 1 << "sP"
                             << "15 balls / $10.00" << m << l;
    QTest::newRow("credit 0") << 0.0 << usual << prices << 0 << ""
                              << "30 balls / $20.00" << m << l;
    QTest::newRow("negative credit") << -12.5 << usual << prices << 0 << ""
                                     << "30 balls / $20.00" << m << l;

    // Decimal credits reach a decimal price exactly (2.3 is not exact in binary).
    QTest::newRow("credit equals medium 2.30")
        << 2.3 << QList<int>{10, 20, 40} << QList<double>{1.1, 2.3, 4.6} << 2 << "sm"
        << "10 balls / $1.10"
        << "20 balls / $2.30"
        << "40 balls / $4.60";
    QTest::newRow("credit equals small 2.30")
        << 2.3 << QList<int>{10, 20, 40} << QList<double>{2.3, 4.6, 6.9} << 1 << "s"
        << "10 balls / $2.30"
        << "20 balls / $4.60"
        << "40 balls / $6.90";
    QTest::newRow("50 at 5.00, credit 2.30")
        << 2.3 << QList<int>{50, 100, 150} << QList<double>{5.0, 9.0, 13.0} << 1 << "sP"
        << "23 balls / $2.30"
        << "100 balls / $9.00"
        << "150 balls / $13.00";
    QTest::newRow("50 at 3.00, credit 1.00 rounds up")
        << 1.0 << QList<int>{50, 100, 150} << QList<double>{3.0, 5.0, 7.0} << 1 << "sP"
        << "17 balls / $1.00"
        << "100 balls / $5.00"
        << "150 balls / $7.00";
    QTest::newRow("28 at 6.48, credit 3.24 is exactly 14")
        << 3.24 << QList<int>{28, 60, 90} << QList<double>{6.48, 12.0, 17.0} << 1 << "sP"
        << "14 balls / $3.24"
        << "60 balls / $12.00"
        << "90 balls / $17.00";
    QTest::newRow("tiny credit still buys one ball") << 0.0001 << usual << prices << 1 << "sP"
                                                     << "1 balls / $0.00" << m << l;

    // Prices out of order: each bucket is tested on its own.
    QTest::newRow("medium cheaper than small and large")
        << 10.0 << usual << QList<double>{20.0, 8.0, 50.0} << 2 << "smP"
        << "15 balls / $10.00"
        << "60 balls / $8.00" << l;
    QTest::newRow("large cheapest") << 12.0 << usual << QList<double>{20.0, 35.0, 5.0} << 3 << "slP"
                                    << "18 balls / $12.00" << m << "90 balls / $5.00";
    QTest::newRow("free buckets offered at credit 0")
        << 0.0 << usual << QList<double>{0.0, 0.0, 50.0} << 2 << "sm"
        << "30 balls / $0.00"
        << "60 balls / $0.00" << l;

    QTest::newRow("count 0 offered as 0 balls")
        << 250.0 << QList<int>{0, 0, 0} << prices << 3 << "sml"
        << "0 balls / $20.00"
        << "0 balls / $35.00"
        << "0 balls / $50.00";
    QTest::newRow("partial of 0 balls stays 0")
        << 10.0 << QList<int>{0, 60, 90} << prices << 1 << "sP"
        << "0 balls / $10.00" << m << l;
    QTest::newRow("negative count") << 10.0 << QList<int>{-30, 60, 90} << prices << 1 << "sP"
                                    << "-15 balls / $10.00" << m << l;
    QTest::newRow("largest count, partial without overflow")
        << 19.9999 << QList<int>{std::numeric_limits<int>::max(), 60, 90} << prices << 1 << "sP"
        << "2147472910 balls / $20.00" << m << l;
}

void OfferRulesTest::offers()
{
    QFETCH(double, credit);
    QFETCH(QList<int>, counts);
    QFETCH(QList<double>, prices);
    QFETCH(int, choices);
    QFETCH(QString, offered);
    QFETCH(QString, stext);
    QFETCH(QString, mtext);
    QFETCH(QString, ltext);

    const CardReply reply{credit, counts[0], counts[1], counts[2], prices[0], prices[1], prices[2]};
    const BucketOffers result = computeBucketOffers(reply, us);

    QCOMPARE(result.choices, choices);
    QCOMPARE(result.smallOffered, offered.contains('s'));
    QCOMPARE(result.mediumOffered, offered.contains('m'));
    QCOMPARE(result.largeOffered, offered.contains('l'));
    QCOMPARE(result.partialSmall, offered.contains('P'));
    QCOMPARE(result.stext, stext);
    QCOMPARE(result.mtext, mtext);
    QCOMPARE(result.ltext, ltext);
    QCOMPARE(result.credit, credit);
    QCOMPARE(result.mb, counts[1]);
    QCOMPARE(result.lb, counts[2]);
    QCOMPARE(result.mp, toFixedCurrency(prices[1]));
    QCOMPARE(result.lp, toFixedCurrency(prices[2]));
    if (result.partialSmall)
        QCOMPARE(result.sp, toFixedCurrency(credit));
    else
        QCOMPARE(result.sp, toFixedCurrency(prices[0]));
}

void OfferRulesTest::fixedCurrencyRounding_data()
{
    QTest::addColumn<double>("amount");
    QTest::addColumn<qint64>("fixed");
    QTest::newRow("2.30") << 2.3 << Q_INT64_C(23000);
    QTest::newRow("6.48") << 6.48 << Q_INT64_C(64800);
    QTest::newRow("0.1 + 0.2") << 0.1 + 0.2 << Q_INT64_C(3000);
    QTest::newRow("half to even, down") << 0.00125 << Q_INT64_C(12);
    QTest::newRow("half to even, up") << 0.00375 << Q_INT64_C(38);
    QTest::newRow("exact half 0.5 to 0") << 0.00005 << Q_INT64_C(0);
    QTest::newRow("just below a half") << 0.00015 << Q_INT64_C(1);
    QTest::newRow("negative half to even") << -0.00025 << Q_INT64_C(-2);
    QTest::newRow("negative") << -12.345678 << Q_INT64_C(-123457);
    QTest::newRow("largest units") << 922337203685477.0 << Q_INT64_C(9223372036854769664);
}

void OfferRulesTest::fixedCurrencyRounding()
{
    QFETCH(double, amount);
    QFETCH(qint64, fixed);
    QCOMPARE(toFixedCurrency(amount), fixed);
}

void OfferRulesTest::amountsBeyondSixtyFourBitsAreRefused_data()
{
    QTest::addColumn<int>("field"); // 0 balance, 1..3 price
    QTest::addColumn<double>("amount");
    QTest::newRow("balance 1e15") << 0 << 1e15;
    QTest::newRow("balance -1e15") << 0 << -1e15;
    QTest::newRow("small price 2^63 / 10000") << 1 << 9223372036854775808.0 / 10000.0;
    QTest::newRow("medium price infinite") << 2 << std::numeric_limits<double>::infinity();
    QTest::newRow("large price not a number") << 3 << std::numeric_limits<double>::quiet_NaN();
}

void OfferRulesTest::amountsBeyondSixtyFourBitsAreRefused()
{
    QFETCH(int, field);
    QFETCH(double, amount);
    CardReply reply{100.0, 30, 60, 90, 20.0, 35.0, 50.0};
    double *target[] = {&reply.balance, &reply.price1, &reply.price2, &reply.price3};
    *target[field] = amount;
    QVERIFY_THROWS_EXCEPTION(ConversionError, computeBucketOffers(reply, us));
}

void OfferRulesTest::currencyText_data()
{
    QTest::addColumn<qint64>("fixed");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << Q_INT64_C(0) << "$0.00";
    QTest::newRow("cents") << Q_INT64_C(500) << "$0.05";
    QTest::newRow("thousands") << Q_INT64_C(12345000) << "$1,234.50";
    QTest::newRow("half cent away from zero") << Q_INT64_C(12350) << "$1.24";
    QTest::newRow("below half cent") << Q_INT64_C(12349) << "$1.23";
    QTest::newRow("negative") << Q_INT64_C(-10000) << "($1.00)";
    QTest::newRow("negative rounding to zero") << Q_INT64_C(-49) << "$0.00";
    QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << "($922,337,203,685,477.58)";
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "$922,337,203,685,477.58";
}

void OfferRulesTest::currencyText()
{
    QFETCH(qint64, fixed);
    QFETCH(QString, text);
    QCOMPARE(::currencyText(fixed, us), text);
}

void OfferRulesTest::currencyTextFollowsTheRegionalFormat()
{
    // The symbol's position, the thousands separator and the negative form come from the
    // locale; the decimal separator is always the process-wide one.
    const QLocale de(QLocale::German, QLocale::Germany);
    const QLocale nl(QLocale::Dutch, QLocale::Netherlands);
    const QString nbsp(QChar(0xa0));
    setDecimalSeparator(',');
    QCOMPARE(::currencyText(12345000, de), "1.234,50" + nbsp + "€");
    QCOMPARE(::currencyText(-12345000, de), "-1.234,50" + nbsp + "€");
    QCOMPARE(::currencyText(-500, nl), "(€" + nbsp + "0,05)");
    QCOMPARE(::currencyText(12345000, us), QStringLiteral("$1,234,50"));
    // fr_FR groups with a narrow no-break space.
    const QLocale fr(QLocale::French, QLocale::France);
    QCOMPARE(::currencyText(12345000, fr), "1" + QString(QChar(0x202f)) + "234,50" + nbsp + "€");
    setDecimalSeparator('.');
    QCOMPARE(::currencyText(12345000, de), "1.234.50" + nbsp + "€");
}

QTEST_GUILESS_MAIN(OfferRulesTest)
#include "offerrules_test.moc"
