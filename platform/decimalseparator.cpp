#include "platform/decimalseparator.h"

#include "platform/errors.h"

#include <QLocale>
#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

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

QString decimalSeparatorFault(QChar c)
{
    if (c.isSpace())
        return QStringLiteral("a blank");
    if (c.category() == QChar::Other_Control)
        return QStringLiteral("a control character");
    if (c.isDigit())
        return QStringLiteral("a digit");
    switch (c.unicode()) {
    case '&':
        return QStringLiteral("the reply's item separator");
    case '=':
        return QStringLiteral("the reply's separator of name and value");
    case '"':
        return QStringLiteral("the reply's quote character");
    case '%':
        return QStringLiteral("the reply's escape character");
    case '+':
        return QStringLiteral("the plus sign (and the server's blank)");
    case '-':
        return QStringLiteral("the minus sign");
    default:
        return {};
    }
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
    // The text is rebuilt with "." for the separator and read by std::from_chars, which
    // knows no locale: strtod would read it by the C library's locale, which QApplication
    // takes from the environment, and stop at the "." under de_DE ("12.50" read as 12).
    const QChar separator = DecimalSeparator();
    QByteArray plain;
    plain.reserve(text.size());
    qsizetype i = 0;
    const qsizetype n = text.size();
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        negative = text[i++] == QLatin1Char('-');
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
            notAFloat(text); // blanks, exponents, a second separator, anything else
        }
    }
    if (digits == 0)
        notAFloat(text);
    double value = 0;
    const char *const end = plain.constData() + plain.size();
    const std::from_chars_result read =
        std::from_chars(plain.constData(), end, value, std::chars_format::fixed);
    if (read.ec != std::errc() || read.ptr != end || !std::isfinite(value))
        notAFloat(text);
    return negative ? -value : value;
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
    // As printf's %.15G would write it, but without the C library's locale (std::to_chars
    // knows none), which would put its own decimal point in.
    char buffer[48];
    const std::to_chars_result written =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    QString text = QString::fromLatin1(buffer, written.ptr - buffer);
    // to_chars writes the exponent as "e+20" and "e-07"; the general number format writes
    // "E20" and "E-7".
    const qsizetype e = text.indexOf(QLatin1Char('e'));
    if (e >= 0) {
        QString exponent = text.mid(e + 1);
        const bool negativeExp = exponent.startsWith(QLatin1Char('-'));
        if (exponent.startsWith(QLatin1Char('+')) || negativeExp)
            exponent.remove(0, 1);
        while (exponent.size() > 1 && exponent.startsWith(QLatin1Char('0')))
            exponent.remove(0, 1);
        text = text.left(e) + QLatin1Char('E') + (negativeExp ? QStringLiteral("-") : QString()) +
               exponent;
    }
    text.replace(QLatin1Char('.'), DecimalSeparator());
    return text;
}
