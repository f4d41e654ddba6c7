#include "tools/quillmark-sim/simdata.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>

QStringList SimFault::modes()
{
    return {"delay",      "silent",  "close", "split", "nofinalamp",
            "notanumber", "garbage", "nine",  "raw",   "bytes"};
}

bool SimData::parseAmount(const QJsonValue &value, Cents *out)
{
    if (value.isDouble()) {
        *out = qRound64(value.toDouble() * 100.0);
        return true;
    }
    static const QRegularExpression pattern(QStringLiteral("^(-?)(\\d{1,15})(?:\\.(\\d{1,2}))?$"));
    const auto match = pattern.match(value.toString().trimmed());
    if (!match.hasMatch())
        return false;
    const QString fraction = match.captured(3).leftJustified(2, QLatin1Char('0'));
    const Cents magnitude = match.captured(2).toLongLong() * 100 + fraction.toInt();
    *out = match.captured(1).isEmpty() ? magnitude : -magnitude;
    return true;
}

QString SimData::amountText(Cents amount)
{
    const Cents magnitude = amount < 0 ? -amount : amount;
    return QStringLiteral("%1%2.%3")
        .arg(amount < 0 ? QStringLiteral("-") : QString())
        .arg(magnitude / 100)
        .arg(magnitude % 100, 2, 10, QLatin1Char('0'));
}

bool SimData::parseFault(const QJsonObject &object, SimFault *out, QString *error)
{
    SimFault fault;
    fault.mode = object.value(QStringLiteral("mode")).toString();
    if (!SimFault::modes().contains(fault.mode)) {
        *error = QStringLiteral("unknown fault mode \"%1\"").arg(fault.mode);
        return false;
    }
    fault.ms = object.value(QStringLiteral("ms")).toInt(-1);
    fault.at = object.value(QStringLiteral("at")).toInt(-1);
    fault.key = object.value(QStringLiteral("key")).toString();
    fault.body = object.value(QStringLiteral("body")).toString().toLatin1();
    *out = fault;
    return true;
}

bool SimData::loadJson(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument parsed = QJsonDocument::fromJson(json, &parseError);
    if (!parsed.isObject()) {
        *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                              : QStringLiteral("not a JSON object");
        return false;
    }
    SimData loaded;
    loaded.document = parsed.object();
    const QJsonObject &root = loaded.document;

    for (const QJsonValue &entry : root.value(QStringLiteral("prices")).toArray()) {
        SimPrice price;
        price.balls = entry[QStringLiteral("balls")].toInt();
        if (!parseAmount(entry[QStringLiteral("price")], &price.price)) {
            *error = QStringLiteral("price list: a price is not an amount");
            return false;
        }
        loaded.prices.append(price);
    }
    for (const QJsonValue &entry : root.value(QStringLiteral("cards")).toArray()) {
        SimCard card;
        card.number = entry[QStringLiteral("number")].toString();
        if (card.number.isEmpty() ||
            !parseAmount(entry[QStringLiteral("balance")], &card.balance)) {
            *error = QStringLiteral("card \"%1\": needs a number and a balance").arg(card.number);
            return false;
        }
        loaded.cards.append(card);
    }
    for (const QJsonValue &entry : root.value(QStringLiteral("vouchers")).toArray()) {
        SimVoucher voucher;
        voucher.number = entry[QStringLiteral("number")].toString();
        voucher.balls = entry[QStringLiteral("balls")].toInt();
        voucher.used = entry[QStringLiteral("used")].toBool();
        if (voucher.number.isEmpty()) {
            *error = QStringLiteral("a voucher has no number");
            return false;
        }
        loaded.vouchers.append(voucher);
    }
    const QJsonObject faults = root.value(QStringLiteral("faults")).toObject();
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        SimFault fault;
        if (!parseFault(it.value().toObject(), &fault, error)) {
            *error = QStringLiteral("fault for \"%1\": %2").arg(it.key(), *error);
            return false;
        }
        loaded.faults.insert(it.key(), fault);
    }
    *this = loaded;
    return true;
}

bool SimData::loadFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    if (!loadJson(file.readAll(), error)) {
        *error = QStringLiteral("%1: %2").arg(path, *error);
        return false;
    }
    return true;
}

QByteArray SimData::toJson() const
{
    QJsonObject root = document;
    QJsonArray cardArray;
    for (const SimCard &card : cards)
        cardArray.append(QJsonObject{{QStringLiteral("number"), card.number},
                                     {QStringLiteral("balance"), amountText(card.balance)}});
    QJsonArray voucherArray;
    for (const SimVoucher &voucher : vouchers)
        voucherArray.append(QJsonObject{{QStringLiteral("number"), voucher.number},
                                        {QStringLiteral("balls"), voucher.balls},
                                        {QStringLiteral("used"), voucher.used}});
    root.insert(QStringLiteral("cards"), cardArray);
    root.insert(QStringLiteral("vouchers"), voucherArray);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool SimData::saveFile(const QString &path, QString *error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(toJson()) < 0 || !file.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

SimCard *SimData::card(const QString &number)
{
    for (SimCard &card : cards) {
        if (card.number == number)
            return &card;
    }
    return nullptr;
}

SimVoucher *SimData::voucher(const QString &number)
{
    for (SimVoucher &voucher : vouchers) {
        if (voucher.number == number)
            return &voucher;
    }
    return nullptr;
}
