#include "link/replyparser.h"

#include "link/wireformat.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"

namespace {

QString withoutThousands(QString value)
{
    return value.remove(QLatin1StringView("%2C"), Qt::CaseInsensitive);
}

} // namespace

bool parseReply(QByteArrayView reply, ReplyRecord &record, const ReplyHooks &hooks)
{
    record.number1 = record.number2 = record.number3 = record.number4 = 0;
    record.Price1 = record.Price2 = record.Price3 = record.Price4 = 0;

    if (hooks.showLength) {
        const int second = reply.size() > 1 ? static_cast<unsigned char>(reply[1]) : 0;
        hooks.showLength(second - int(reply.size()));
    }
    if (hooks.pump)
        hooks.pump();

    const QString text =
        wire::decodeDecimalPoints(wire::renderBytes(wire::replyBody(reply)), DecimalSeparator());
    const QStringList items = wire::splitItems(text);
    if (hooks.showItems)
        hooks.showItems(items);

    // An empty body says nothing: the caller decides what that means, where an index
    // error for the missing first item would only show a box.
    if (items.isEmpty())
        return false;
    if (const QString first = wire::itemValue(items.first()); !first.isEmpty())
        record.RangeOK = textToInteger(first);
    if (const QString code = wire::itemValue(items, u"RangeOK"); !code.isEmpty())
        record.RangeOK = textToInteger(code);
    if (const QString error = wire::itemValue(items, u"Error"); !error.isEmpty())
        record.IPerror = error;
    if (QString balance = wire::itemValue(items, u"CardBalance"); !balance.isEmpty()) {
        balance.replace(QLatin1StringView("%2D"), QStringLiteral("-"), Qt::CaseInsensitive);
        record.CardBalance = textToDecimal(withoutThousands(balance));
    }
    int *const numbers[] = {&record.number1, &record.number2, &record.number3, &record.number4};
    for (int n = 0; n < 4; ++n) {
        const QString value = wire::itemValue(items, QStringLiteral("Number%1").arg(n + 1));
        if (!value.isEmpty())
            *numbers[n] = textToInteger(value);
    }
    double *const prices[] = {&record.Price1, &record.Price2, &record.Price3, &record.Price4};
    for (int n = 0; n < 4; ++n) {
        const QString value = wire::itemValue(items, QStringLiteral("Price%1").arg(n + 1));
        if (!value.isEmpty())
            *prices[n] = textToDecimal(withoutThousands(value));
    }
    return true;
}
