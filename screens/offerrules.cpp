#include "screens/offerrules.h"

#include "platform/decimalseparator.h"
#include "platform/errors.h"

#include <cmath>

namespace {

// ⌈numerator ÷ denominator⌉ exactly, for any signs; denominator is not 0.
qint64 ceilDiv(__int128 numerator, __int128 denominator)
{
    __int128 quotient = numerator / denominator;
    if (numerator % denominator != 0 && ((numerator > 0) == (denominator > 0)))
        ++quotient;
    return static_cast<qint64>(quotient);
}

QString caption(int balls, FixedCurrency price, const QLocale &locale)
{
    return QString::number(balls) + QStringLiteral(" balls / ") + currencyText(price, locale);
}

} // namespace

FixedCurrency toFixedCurrency(double amount)
{
    const double scaled = amount * 10000.0;
    // 2^63 is exactly representable; every double below it in magnitude fits qint64, and
    // rounding a value below it never reaches it (doubles that large are whole already).
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(scaled) || scaled >= limit || scaled < -limit)
        throw ConversionError(QStringLiteral("%1 is not a valid currency amount")
                                  .arg(QString::number(amount, 'g', 17)));
    // x - trunc(x) is exact in binary floating point, so an exact half is seen as one.
    const double whole = std::trunc(scaled);
    const double fraction = scaled - whole;
    const double away = whole + (scaled < 0 ? -1.0 : 1.0);
    double rounded = whole;
    if (std::fabs(fraction) > 0.5 || (std::fabs(fraction) == 0.5 && std::fmod(whole, 2.0) != 0.0))
        rounded = away;
    return static_cast<FixedCurrency>(rounded);
}

QString currencyText(FixedCurrency amount, const QLocale &locale)
{
    // Cents, half away from zero, computed on the integers (|amount| / 100 always fits).
    const bool negative = amount < 0;
    const quint64 magnitude =
        negative ? quint64(0) - static_cast<quint64>(amount) : static_cast<quint64>(amount);
    const quint64 cents = (magnitude + 50) / 100;

    QString fraction = locale.toString(cents % 100);
    if (fraction.size() < 2)
        fraction.prepend(locale.zeroDigit());
    const QString number = locale.toString(cents / 100) + DecimalSeparator() + fraction;

    // The locale's own pattern (symbol, its position, the negative form) for a probe value,
    // with the probe's digit replaced by the number.
    const bool showNegative = negative && cents != 0;
    QString text = locale.toCurrencyString(showNegative ? qlonglong(-7) : qlonglong(7));
    const QString probe = locale.toString(7);
    const qsizetype at = text.indexOf(probe);
    if (at < 0)
        return (showNegative ? locale.negativeSign() : QString()) + number;
    return text.replace(at, probe.size(), number);
}

BucketOffers computeBucketOffers(const CardReply &reply, const QLocale &locale)
{
    BucketOffers offers;
    offers.credit = reply.balance;
    offers.sb = reply.number1;
    offers.mb = reply.number2;
    offers.lb = reply.number3;
    offers.sp = toFixedCurrency(reply.price1);
    offers.mp = toFixedCurrency(reply.price2);
    offers.lp = toFixedCurrency(reply.price3);
    const FixedCurrency credit = toFixedCurrency(reply.balance);

    if (offers.sp <= credit) {
        offers.smallOffered = true;
        offers.choices = 1;
    }
    if (offers.mp <= credit) {
        offers.mediumOffered = true;
        offers.choices = 2;
    }
    if (offers.lp <= credit) {
        offers.largeOffered = true;
        offers.choices = 3;
    }
    if (credit > 0 && offers.sp > credit) {
        // sp > credit > 0, so the quotient lies between 0 and sb and fits 32 bits.
        offers.sb = static_cast<int>(ceilDiv(static_cast<__int128>(offers.sb) * credit, offers.sp));
        offers.sp = credit;
        offers.smallOffered = true;
        offers.partialSmall = true;
        if (offers.choices == 0)
            offers.choices = 1;
    }

    offers.ltext = caption(offers.lb, offers.lp, locale);
    offers.mtext = caption(offers.mb, offers.mp, locale);
    offers.stext = caption(offers.sb, offers.sp, locale);
    return offers;
}
