#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTime>

// The message format spoken with the management server. A frame is 0x00, a length byte
// L (bytes from the frame's start to the end of its body), 0x00, 0x04, the body and
// CR LF; a body is a row of "name=value&" items.
namespace wire {

// The largest L one length byte can carry.
inline constexpr int maxFrameLength = 255;
// The largest reply the link reads: more is cut off.
inline constexpr int maxReplyBytes = 511;
inline constexpr int headerBytes = 4;

// Date as day, month, year and time as hour, minute, second: two digits each, joined
// by "%2F" and "%3A".
QString encodeDate(const QDate &date);
QString encodeTime(const QTime &time);

QString validationBody(const QString &rangeType, const QString &reference, const QString &date,
                       const QString &time);
QString usageReportBody(const QString &rangeType, const QString &reference, const QString &date,
                        const QString &time);
QString cardUsageReportBody(const QString &rangeType, const QString &reference, int issueGroup,
                            const QString &date, const QString &time);

// L for a body: its length plus the four header bytes.
int frameLength(QStringView body);

// The four header characters (U+0000, the character with code L, U+0000, U+0004)
// followed by the body.
QString frameText(QStringView body);

// The bytes of a frame text, as sent before its CR LF: the code page conversion of the
// text with its length byte written as L itself.
QByteArray encodeFrame(QStringView text);

// Why a value cannot go into a request item, for the technician; empty when it can. A
// value may not carry the item syntax ("&", "=", "%", "+", a double quote), blanks,
// control characters or characters the code page lacks.
QString unsafeValueReason(QStringView value);

// Why a frame of length L cannot be sent (L above 255); empty when it can.
QString frameLengthReason(int length);

// A reply is whole when it ends with the CR LF that closes it, after its four header
// bytes (a length byte of 13 followed by 10 is no line end).
bool isWholeReply(QByteArrayView reply);

// A reply's body: the bytes after the four header bytes, without the closing CR LF.
QByteArrayView replyBody(QByteArrayView reply);

// Where the first control byte (below 0x20, or DEL) of a reply's body stands, counted from
// the reply's first byte; -1 when the body has none. The header and the closing CR LF do
// not count.
qsizetype firstControlByte(QByteArrayView reply);

// Bytes as text: a byte below 32 becomes its decimal value written out, any other byte
// its character in the code page.
QString renderBytes(QByteArrayView bytes);

// Replaces "%2E" and "%A0", in either letter case, by the separator.
QString decodeDecimalPoints(QString text, QChar separator);

// Splits a reply body into items: "&" and blanks end items, blanks before an item are
// skipped, an item that begins with a double quote runs to the next lone double quote
// (doubled quotes stand for one), a final "&" adds an empty item.
QStringList splitItems(QStringView text);

// The value of the first item named name (letter case ignored); empty when there is
// none. An item without "=" or with an empty name has no value.
QString itemValue(const QStringList &items, QStringView name);
// The value of one item.
QString itemValue(QStringView item);

} // namespace wire
