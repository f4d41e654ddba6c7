#include "link/wireformat.h"

#include "platform/codepage.h"

namespace wire {
namespace {

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

QString joinPairs(int a, int b, int c, QLatin1StringView separator)
{
    return twoDigits(a) + separator + twoDigits(b) + separator + twoDigits(c);
}

QString stamp(const QString &date, const QString &time)
{
    return QStringLiteral("&Date=") + date + QStringLiteral("&Time=") + time + QLatin1Char('&');
}

bool isItemBlank(QChar c)
{
    // The server's own item splitter treats every control character as a blank too.
    return c.unicode() <= 0x20;
}

} // namespace

QString encodeDate(const QDate &date)
{
    return joinPairs(date.day(), date.month(), date.year() % 100, QLatin1StringView("%2F"));
}

QString encodeTime(const QTime &time)
{
    return joinPairs(time.hour(), time.minute(), time.second(), QLatin1StringView("%3A"));
}

QString validationBody(const QString &rangeType, const QString &reference, const QString &date,
                       const QString &time)
{
    return QStringLiteral("Command=ValidateRangeId&RangeType=") + rangeType +
           QStringLiteral("&Reference=") + reference + stamp(date, time);
}

QString usageReportBody(const QString &rangeType, const QString &reference, const QString &date,
                        const QString &time)
{
    return QStringLiteral("Command=SetRangeUsage&RangeType=") + rangeType +
           QStringLiteral("&Reference=") + reference + stamp(date, time);
}

QString cardUsageReportBody(const QString &rangeType, const QString &reference, int issueGroup,
                            const QString &date, const QString &time)
{
    return QStringLiteral("Command=SetRangeUsage&RangeType=") + rangeType +
           QStringLiteral("&Reference=") + reference + QStringLiteral("&IssueGroup=") +
           QString::number(issueGroup) + stamp(date, time);
}

int frameLength(QStringView body)
{
    return int(body.size()) + headerBytes;
}

QString frameText(QStringView body)
{
    QString text;
    text.reserve(body.size() + headerBytes);
    text.append(QChar(0));
    text.append(QChar(char16_t(frameLength(body))));
    text.append(QChar(0));
    text.append(QChar(4));
    text.append(body);
    return text;
}

QByteArray encodeFrame(QStringView text)
{
    QByteArray bytes = platform::toCodePage(text);
    // The length byte is a count, not a character: 128..159 would otherwise turn into
    // whatever the code page makes of those code points.
    if (text.size() > 1 && text[1].unicode() <= maxFrameLength)
        bytes[1] = char(text[1].unicode());
    return bytes;
}

QString unsafeValueReason(QStringView value)
{
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        if (u == '&' || u == '=' || u == '%' || u == '+' || u == '"')
            return QStringLiteral("Reference holds a character of the request syntax");
        if (u <= 0x20 || u == 0x7F || (u >= 0x80 && u <= 0xA0))
            return QStringLiteral("Reference holds a blank or control character");
        if (!platform::codePageCarries(c))
            return QStringLiteral("Reference holds a character that cannot be sent");
    }
    return {};
}

QString frameLengthReason(int length)
{
    if (length > maxFrameLength)
        return QStringLiteral("Request too long for its length byte");
    return {};
}

bool isWholeReply(QByteArrayView reply)
{
    return reply.size() >= headerBytes + 2 && reply.endsWith("\r\n");
}

QByteArrayView replyBody(QByteArrayView reply)
{
    if (reply.size() <= headerBytes)
        return {};
    QByteArrayView body = reply.sliced(headerBytes);
    if (body.endsWith("\r\n"))
        body.chop(2);
    return body;
}

qsizetype firstControlByte(QByteArrayView reply)
{
    const QByteArrayView body = replyBody(reply);
    for (qsizetype i = 0; i < body.size(); ++i) {
        const auto u = static_cast<unsigned char>(body[i]);
        if (u < 0x20 || u == 0x7F)
            return headerBytes + i;
    }
    return -1;
}

QString renderBytes(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (const char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        if (u < 32)
            text.append(QString::number(u));
        else
            text.append(platform::codePageChar(u));
    }
    return text;
}

QString decodeDecimalPoints(QString text, QChar separator)
{
    text.replace(QLatin1StringView("%2E"), QString(separator), Qt::CaseInsensitive);
    text.replace(QLatin1StringView("%A0"), QString(separator), Qt::CaseInsensitive);
    return text;
}

QStringList splitItems(QStringView text)
{
    QStringList items;
    const qsizetype n = text.size();
    qsizetype p = 0;
    auto skipBlanks = [&] {
        while (p < n && isItemBlank(text[p]))
            ++p;
    };
    skipBlanks();
    while (p < n) {
        QString item;
        if (text[p] == QLatin1Char('"')) {
            ++p;
            while (p < n) {
                if (text[p] == QLatin1Char('"')) {
                    if (p + 1 < n && text[p + 1] == QLatin1Char('"')) {
                        item.append(QLatin1Char('"'));
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item.append(text[p++]);
            }
        } else {
            const qsizetype start = p;
            while (p < n && !isItemBlank(text[p]) && text[p] != QLatin1Char('&'))
                ++p;
            item = text.sliced(start, p - start).toString();
        }
        items.append(item);
        skipBlanks();
        if (p < n && text[p] == QLatin1Char('&')) {
            if (p + 1 == n)
                items.append(QString());
            ++p;
            skipBlanks();
        }
    }
    return items;
}

QString itemValue(QStringView item)
{
    const qsizetype eq = item.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return {};
    return item.sliced(eq + 1).toString();
}

QString itemValue(const QStringList &items, QStringView name)
{
    for (const QString &item : items) {
        const qsizetype eq = item.indexOf(QLatin1Char('='));
        if (eq > 0 && QStringView(item).first(eq).compare(name, Qt::CaseInsensitive) == 0)
            return item.sliced(eq + 1);
    }
    return {};
}

} // namespace wire
