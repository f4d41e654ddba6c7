#include "tools/quillmark-sim/simframe.h"

#include <QList>

namespace simframe {

qsizetype frameEnd(const QByteArray &buffer)
{
    const qsizetype crlf = buffer.indexOf("\r\n", 4);
    return crlf < 0 ? -1 : crlf + 2;
}

bool parseRequest(const QByteArray &frame, SimRequest *request, QString *problem)
{
    *request = SimRequest();
    request->raw = frame;
    if (frame.size() < 6 || !frame.endsWith("\r\n")) {
        *problem = QStringLiteral("incomplete frame");
        return false;
    }
    const QByteArray body = frame.mid(4, frame.size() - 6);
    // Items are read even from a frame with a bad header, so that the log and the ledger
    // show what the client meant.
    bool seen[6] = {};
    QString *fields[6] = {&request->command,    &request->rangeType, &request->reference,
                          &request->issueGroup, &request->date,      &request->time};
    static const char *names[6] = {"Command",    "RangeType", "Reference",
                                   "IssueGroup", "Date",      "Time"};
    bool itemsOk = body.endsWith('&');
    for (const QByteArray &item : body.split('&')) {
        if (item.isEmpty())
            continue;
        const qsizetype eq = item.indexOf('=');
        if (eq <= 0) {
            itemsOk = false;
            continue;
        }
        const QByteArray name = item.left(eq);
        for (int i = 0; i < 6; ++i) {
            if (name == names[i] && !seen[i]) {
                seen[i] = true;
                *fields[i] = QString::fromLatin1(item.mid(eq + 1));
            }
        }
    }
    if (frame.at(0) != 0 || frame.at(2) != 0 || frame.at(3) != 4) {
        *problem = QStringLiteral("bad frame header");
        return false;
    }
    if (static_cast<quint8>(frame.at(1)) != frame.size() - 2) {
        *problem = QStringLiteral("length byte %1 does not match %2 bytes")
                       .arg(static_cast<quint8>(frame.at(1)))
                       .arg(frame.size() - 2);
        return false;
    }
    if (!itemsOk || !seen[0]) {
        *problem = QStringLiteral("body is not a list of name=value& items");
        return false;
    }
    return true;
}

QByteArray frameReply(const QByteArray &body)
{
    QByteArray frame;
    frame.reserve(body.size() + 6);
    frame.append('\0');
    frame.append(static_cast<char>(qMin<qsizetype>(body.size() + 4, 255)));
    frame.append('\0');
    frame.append('\x04');
    frame.append(body);
    frame.append("\r\n");
    return frame;
}

QString printable(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<quint8>(c);
        if (byte >= 32 && byte < 127 && byte != '\\')
            text.append(QLatin1Char(c));
        else
            text.append(QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0')));
    }
    return text;
}

} // namespace simframe
