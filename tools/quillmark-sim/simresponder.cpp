#include "tools/quillmark-sim/simresponder.h"

namespace simresponder {

namespace {

QByteArray item(const char *name, const QByteArray &value)
{
    return QByteArray(name) + '=' + value + '&';
}

Answer validateCard(const SimRequest &request, SimData &data)
{
    const SimCard *card = data.card(request.reference);
    if (!card)
        return {refusal(QStringLiteral("Card not valid"))};
    QByteArray body = item("RangeOK", "1") + item("CardBalance", amountItem(card->balance));
    const int buckets = qMin<int>(data.prices.size(), 4);
    for (int i = 0; i < buckets; ++i)
        body += "Number" + QByteArray::number(i + 1) + '=' +
                QByteArray::number(data.prices[i].balls) + '&';
    for (int i = 0; i < buckets; ++i)
        body += "Price" + QByteArray::number(i + 1) + '=' + amountItem(data.prices[i].price) + '&';
    return {body};
}

Answer validateVoucher(const SimRequest &request, SimData &data)
{
    const SimVoucher *voucher = data.voucher(request.reference);
    if (!voucher)
        return {refusal(QStringLiteral("Voucher not valid"))};
    if (voucher->used)
        return {refusal(QStringLiteral("Voucher already used"))};
    // Number2 and Number3 keep the body above 28 characters, the shortest reply whose
    // header the kiosk renders in four characters.
    return {item("RangeOK", "1") + item("Number1", QByteArray::number(voucher->balls)) +
            item("Number2", "0") + item("Number3", "0")};
}

Answer reportCard(const SimRequest &request, SimData &data)
{
    SimCard *card = data.card(request.reference);
    if (!card)
        return {refusal(QStringLiteral("Card not valid"))};
    bool ok = false;
    const int group = request.issueGroup.toInt(&ok);
    if (!ok || group < 1 || group > data.prices.size() || group > 3)
        return {refusal(QStringLiteral("Invalid issue group"))};
    const Cents price = data.prices[group - 1].price;
    if (card->balance >= price)
        card->balance -= price;
    else if (group == 1 && card->balance > 0)
        card->balance = 0; // the kiosk sold a partial small bucket for the whole credit
    else
        return {refusal(QStringLiteral("Insufficient balance"))};
    return {item("RangeOK", "1") + item("CardBalance", amountItem(card->balance)), true};
}

Answer reportVoucher(const SimRequest &request, SimData &data)
{
    SimVoucher *voucher = data.voucher(request.reference);
    if (!voucher)
        return {refusal(QStringLiteral("Voucher not valid"))};
    if (voucher->used)
        return {refusal(QStringLiteral("Voucher already used"))};
    voucher->used = true;
    return {item("RangeOK", "1") + item("Number1", QByteArray::number(voucher->balls)) +
                item("Status", "Redeemed"),
            true};
}

} // namespace

QByteArray refusal(const QString &reason)
{
    QString text = reason;
    text.replace(QLatin1Char(' '), QLatin1Char('+'));
    return item("RangeOK", "0") + item("Error", text.toLatin1());
}

QByteArray amountItem(Cents amount)
{
    QByteArray text = SimData::amountText(amount).toLatin1();
    text.replace('.', "%2E");
    text.replace('-', "%2D");
    return text;
}

Answer answer(const SimRequest &request, SimData &data)
{
    const bool card = request.rangeType == QLatin1String("C");
    const bool voucher = request.rangeType == QLatin1String("P");
    if (request.command == QLatin1String("ValidateRangeId")) {
        if (card)
            return validateCard(request, data);
        if (voucher)
            return validateVoucher(request, data);
    } else if (request.command == QLatin1String("SetRangeUsage")) {
        if (card)
            return reportCard(request, data);
        if (voucher)
            return reportVoucher(request, data);
    } else {
        return {refusal(QStringLiteral("Unknown command"))};
    }
    return {refusal(QStringLiteral("Unknown range type"))};
}

QByteArray applyFault(const QByteArray &body, const SimFault &fault)
{
    if (fault.mode == QLatin1String("nofinalamp"))
        return body.endsWith('&') ? body.chopped(1) : body;
    if (fault.mode == QLatin1String("nine"))
        return item("RangeOK", "9") + item("Error", "Server+busy");
    if (fault.mode == QLatin1String("raw") || fault.mode == QLatin1String("bytes"))
        return fault.body;
    if (fault.mode != QLatin1String("notanumber"))
        return body;

    QList<QByteArray> items = body.split('&');
    const QList<QByteArray> preferred = fault.key.isEmpty()
                                            ? QList<QByteArray>{"Number1", "CardBalance", "RangeOK"}
                                            : QList<QByteArray>{fault.key.toLatin1()};
    for (const QByteArray &name : preferred) {
        for (QByteArray &entry : items) {
            if (entry.startsWith(name + '=')) {
                entry += 'x';
                return items.join('&');
            }
        }
    }
    return body;
}

} // namespace simresponder
