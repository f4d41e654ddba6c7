#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

// Amounts are kept in hundredths of the currency unit, so that a usage report takes an
// exact price from a balance and the state file never gathers rounding dust.
using Cents = qint64;

struct SimPrice
{
    int balls = 0;
    Cents price = 0;
};

struct SimCard
{
    QString number;
    Cents balance = 0;
};

struct SimVoucher
{
    QString number;
    int balls = 0;
    bool used = false;
};

// A misbehaviour the server shows on purpose, for one reference or for every request.
struct SimFault
{
    QString mode;    // delay, silent, close, split, nofinalamp, notanumber, garbage, nine, raw, bytes
    int ms = -1;     // pause for delay and split, hold time for silent; -1: the mode's default
    int at = -1;     // split: bytes in the first segment; -1: half the frame
    QString key;     // notanumber: the item to spoil; empty: the first numeric one
    QByteArray body; // raw: the exact reply body; bytes: the exact reply, header included

    bool isSet() const { return !mode.isEmpty(); }
    static QStringList modes();
};

// The range's accounts as the JSON data file describes them:
//   { "prices":   [ {"balls": 30, "price": "20.00"}, ... ],
//     "cards":    [ {"number": "12345678", "balance": "250.00"} ],
//     "vouchers": [ {"number": "900001", "balls": 40, "used": false} ],
//     "faults":   { "<reference>": {"mode": "delay", "ms": 12000} } }
// Amounts may be written as text ("250.00") or as JSON numbers.
class SimData
{
public:
    bool loadJson(const QByteArray &json, QString *error);
    bool loadFile(const QString &path, QString *error);
    QByteArray toJson() const;
    // Writes the whole document atomically: the old file stays until the new one is complete.
    bool saveFile(const QString &path, QString *error) const;

    QList<SimPrice> prices;
    QList<SimCard> cards;
    QList<SimVoucher> vouchers;
    QHash<QString, SimFault> faults;

    SimCard *card(const QString &number);
    SimVoucher *voucher(const QString &number);

    // "250.00", "-12.5", 7 -> hundredths; false for anything else.
    static bool parseAmount(const QJsonValue &value, Cents *out);
    static QString amountText(Cents amount);
    static bool parseFault(const QJsonObject &object, SimFault *out, QString *error);

private:
    QJsonObject document; // keeps keys this server does not know when it writes the state
};
