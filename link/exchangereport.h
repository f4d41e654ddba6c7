#pragma once

#include "link/exchangerecord.h"

#include <QElapsedTimer>
#include <QString>

class LinkClient;

// Tells LinkClient::exchangeEnded of one call of an exchange operation when the call ends,
// however it ends: with a result, refused because another exchange runs, or by an error.
// Each operation holds one for the whole of its call.
class ExchangeReport
{
public:
    ExchangeReport(const LinkClient &link, ExchangeRecord::Operation operation,
                   const QString &reference, int issueGroup = 0);
    ~ExchangeReport();
    ExchangeReport(const ExchangeReport &) = delete;
    ExchangeReport &operator=(const ExchangeReport &) = delete;

    // A validation names a card for range type "C" and a voucher otherwise.
    static ExchangeRecord::Operation validationOf(const QString &rangeType);

private:
    const LinkClient &link;
    const bool busy;
    const int errors;
    ExchangeRecord record;
    QElapsedTimer timer;
};
