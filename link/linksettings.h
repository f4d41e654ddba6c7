#pragma once

#include <QByteArrayView>
#include <QString>

// The link settings file config.ini: three lines of 8-bit text, taken whole with nothing
// trimmed but a UTF-8 byte-order mark at the start of the file; a missing line reads as
// empty.
struct LinkSettings
{
    QString server;    // line 1: dotted IPv4 address or host name
    QString port;      // line 2: decimal number or service name
    QString separator; // line 3: its first character is the decimal separator
    // What the reading leaves out, for the configuration check: how many of the three
    // lines the file holds (text after the last line end is a line of its own), and
    // whether a byte-order mark stood in front of line 1.
    int lines = 0;
    bool byteOrderMark = false;

    // Splits file contents into the three lines (CR LF, LF or a lone CR end a line).
    static LinkSettings parse(QByteArrayView contents);
    // Reads the file; throws FileError("The specified file was not found") when it
    // cannot be opened.
    static LinkSettings read(const QString &path);
};
