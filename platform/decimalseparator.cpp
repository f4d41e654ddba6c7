#include "platform/decimalseparator.h"

#include "platform/errors.h"

#include <QLocale>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

std::atomic<char16_t> &separatorCell()
{
    static std::atomic<char16_t> cell(localeDecimalSeparator().unicode());
    return cell;
}

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ');
}

[[noreturn]] void notAFloat(const QString &text)
{
    throw ConversionError(QStringLiteral("'%1' is not a valid floating point value").arg(text));
}

} // namespace

QChar localeDecimalSeparator()
{
    const QString point = QLocale::system().decimalPoint();
    return point.isEmpty() ? QLatin1Char('.') : point.at(0);
}

QChar DecimalSeparator()
{
    return QChar(separatorCell().load(std::memory_order_relaxed));
}

void setDecimalSeparator(QChar separator)
{
    separatorCell().store(separator.unicode(), std::memory_order_relaxed);
}

double textToDecimal(const QString &text)
{
    const QChar separator = DecimalSeparator();
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isBlank(text[i]))
        ++i;
    // Rebuilt in the C form that strtod reads, whatever the separator is.
    QByteArray plain;
    plain.reserve(n + 1);
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        plain.append(char(text[i++].unicode()));
    int digits = 0;
    bool point = false;
    for (; i < n; ++i) {
        const QChar c = text[i];
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            plain.append(char(c.unicode()));
            ++digits;
        } else if (c == separator && !point) {
            plain.append('.');
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0)
        notAFloat(text);
    if (i < n && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        plain.append('e');
        ++i;
        if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
            plain.append(char(text[i++].unicode()));
        int expDigits = 0;
        for (; i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
            plain.append(char(text[i].unicode()));
            ++expDigits;
        }
        if (expDigits == 0)
            notAFloat(text);
    }
    while (i < n && isBlank(text[i]))
        ++i;
    if (i != n)
        notAFloat(text);
    const double value = std::strtod(plain.constData(), nullptr);
    if (!std::isfinite(value))
        notAFloat(text);
    return value;
}

int textToInteger(const QString &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        negative = text[i++] == QLatin1Char('-');
    const qint64 limit = negative ? qint64(std::numeric_limits<int>::max()) + 1
                                  : qint64(std::numeric_limits<int>::max());
    qint64 value = 0;
    const qsizetype first = i;
    for (; i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        value = value * 10 + (text[i].unicode() - '0');
        if (value > limit)
            break;
    }
    if (i == first || i != n || value > limit)
        throw ConversionError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return int(negative ? -value : value);
}

QString decimalToText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    if (value == 0)
        return QStringLiteral("0");
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.15G", value);
    // %G keeps the exponent's sign and leading zeros ("1E+20"); the general number format
    // writes "1E20" and "1E-7".
    QString text = QString::fromLatin1(buffer);
    const qsizetype e = text.indexOf(QLatin1Char('E'));
    if (e >= 0) {
        QString mantissa = text.left(e);
        QString exponent = text.mid(e + 1);
        const bool negativeExp = exponent.startsWith(QLatin1Char('-'));
        if (exponent.startsWith(QLatin1Char('+')) || negativeExp)
            exponent.remove(0, 1);
        while (exponent.size() > 1 && exponent.startsWith(QLatin1Char('0')))
            exponent.remove(0, 1);
        text = mantissa + QLatin1Char('E') + (negativeExp ? QStringLiteral("-") : QString()) +
               exponent;
    }
    text.replace(QLatin1Char('.'), DecimalSeparator());
    return text;
}
