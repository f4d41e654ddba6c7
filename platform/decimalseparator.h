#pragma once

#include <QChar>
#include <QString>

// The process-wide decimal separator and every conversion between numbers and text that
// the kiosk makes: reading reply values, showing balances and prices. It starts as the
// locale's decimal separator ("." when the locale has none); the link settings file
// replaces it at start-up.
QChar DecimalSeparator();
void setDecimalSeparator(QChar separator);

// The locale's own decimal separator ("." when it has none).
QChar localeDecimalSeparator();

// Why a character cannot separate the decimals of an amount, in a few words ("a digit",
// "the reply's item separator"); empty when it can. A blank or control character ends a
// reply's item or cannot be seen, a digit or sign is part of the number itself, and "&",
// "=", "%" and the double quote are the reply's own syntax: with any of them 12.50 reads
// as 12, as 12050 or not at all.
QString decimalSeparatorFault(QChar separator);

// A decimal number: an optional sign and digits with at most one decimal separator (at
// least one digit), read the same under every locale. Anything else (blanks, an exponent,
// thousands separators) throws ConversionError, as does a value beyond the double range.
double textToDecimal(const QString &text);

// Integer text: optional leading blanks, an optional sign and decimal digits, within the
// 32-bit range; anything else throws ConversionError.
int textToInteger(const QString &text);

// The general number format: up to 15 significant digits, no thousands separator, no
// trailing zeros (12.50 shows as 12.5), the exponent form only for very large or very
// small values (1E20, 1E-7); the same under every locale.
QString decimalToText(double value);
