#pragma once

#include <QLocale>
#include <QString>
#include <QtGlobal>

// Fixed-point currency: a signed 64-bit count of ten-thousandths of the currency unit.
using FixedCurrency = qint64;

// amount × 10000 rounded to the nearest whole number, an exact half to the even
// neighbour. Throws ConversionError when the result does not fit 64 bits (or the amount is
// not a number at all), as for a reply value that cannot be read.
FixedCurrency toFixedCurrency(double amount);

// The amount in the regional currency format (symbol and its position, thousands
// separator, negative form) with exactly two decimals and the process-wide decimal
// separator. Ten-thousandths round to cents half away from zero.
QString currencyText(FixedCurrency amount, const QLocale &locale = QLocale::system());

// What an accepted card reply holds for the offers.
struct CardReply
{
    double balance = 0;
    int number1 = 0, number2 = 0, number3 = 0;
    double price1 = 0, price2 = 0, price3 = 0;
};

// The offers a card's balance pays for: which buckets show their picture and enable their
// click area, the counts and prices as offered, choices and the three captions.
struct BucketOffers
{
    double credit = 0;
    int sb = 0, mb = 0, lb = 0;
    FixedCurrency sp = 0, mp = 0, lp = 0;
    int choices = 0;
    bool smallOffered = false, mediumOffered = false, largeOffered = false;
    bool partialSmall = false; // the small bucket is cut down to what the credit pays
    QString stext, mtext, ltext;
};

// Every bucket is tested on its own: prices need not rise from small to large. Any
// positive credit buys at least a partial small bucket of ⌈sb × credit ÷ sp⌉ balls.
// Throws ConversionError for an amount that does not fit fixed-point currency.
BucketOffers computeBucketOffers(const CardReply &reply, const QLocale &locale = QLocale::system());
