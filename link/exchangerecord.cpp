#include "link/exchangerecord.h"

#include "link/linkclient.h"

namespace {

QString operationName(ExchangeRecord::Operation operation)
{
    switch (operation) {
    case ExchangeRecord::Operation::VoucherValidation:
        return QStringLiteral("voucher-validation");
    case ExchangeRecord::Operation::CardValidation:
        return QStringLiteral("card-validation");
    case ExchangeRecord::Operation::VoucherReport:
        return QStringLiteral("voucher-report");
    case ExchangeRecord::Operation::CardReport:
        return QStringLiteral("card-report");
    case ExchangeRecord::Operation::TestSend:
        return QStringLiteral("test-send");
    }
    return QStringLiteral("exchange");
}

bool isReport(ExchangeRecord::Operation operation)
{
    return operation == ExchangeRecord::Operation::VoucherReport ||
           operation == ExchangeRecord::Operation::CardReport;
}

} // namespace

QString journalText(const QString &text)
{
    QString visible = text;
    for (QChar &c : visible) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            c = QLatin1Char('?');
    }
    return visible;
}

QString journalLine(const ExchangeRecord &record)
{
    QString result;
    switch (record.ending) {
    case ExchangeRecord::Ending::Result:
        // The link's own refusal sent nothing: named, so that it is not read as a code
        // of the server's.
        result = record.result == linkresult::refusedByLink ? QStringLiteral("refused-by-link")
                                                            : QString::number(record.result);
        break;
    case ExchangeRecord::Ending::Busy:
        result = QStringLiteral("busy");
        break;
    case ExchangeRecord::Ending::Error:
        result = QStringLiteral("error");
        break;
    }
    // Whole milliseconds, rounded up: a bound of 10000 ms that was reached reads 10000.
    const qint64 ms = (record.elapsedUs + 999) / 1000;
    QString line = QStringLiteral("%1 ref=%2 group=%3 result=%4 ms=%5")
                       .arg(operationName(record.operation),
                            record.reference.isEmpty() ? QStringLiteral("-")
                                                       : journalText(record.reference.right(4)),
                            record.operation == ExchangeRecord::Operation::CardReport
                                ? QString::number(record.issueGroup)
                                : QStringLiteral("-"),
                            result, QString::number(ms));
    const bool confirmed = record.ending == ExchangeRecord::Ending::Result && record.result == 1;
    if (isReport(record.operation) && !confirmed)
        line += QLatin1Char(' ') + QLatin1String(unconfirmedMark);
    if (!record.reason.isEmpty()) {
        // Blanks kept, so that it reads as the link test window says it; a double quote
        // would end it early and becomes a single one.
        QString why = record.reason;
        for (QChar &c : why) {
            if (c == QLatin1Char('"'))
                c = QLatin1Char('\'');
            else if (c.unicode() < 0x20 || c.unicode() >= 0x7F)
                c = QLatin1Char('?');
        }
        line += QStringLiteral(" why=\"") + why + QLatin1Char('"');
    }
    return line;
}
