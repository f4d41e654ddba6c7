#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// The 8-bit code page of wire text and of the link settings file. Windows-1252 stands in
// for the system code page of the machines the kiosk was written for: one byte per
// character both ways.
namespace platform {

// The byte the code page writes for a character that it lacks.
inline constexpr char codePageSubstitute = '?';

// True when the code page has a byte of its own for c.
bool codePageCarries(QChar c);

// Text to bytes, one byte per UTF-16 code unit; a character the code page lacks
// becomes "?".
QByteArray toCodePage(QStringView text);

// Bytes to text, one character per byte.
QString fromCodePage(QByteArrayView bytes);

// The character of one byte.
QChar codePageChar(unsigned char byte);

} // namespace platform
