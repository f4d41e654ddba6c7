#include "link/exchangereport.h"

#include "link/linkclient.h"

#include <exception>

ExchangeReport::ExchangeReport(const LinkClient &link, ExchangeRecord::Operation operation,
                               const QString &reference, int issueGroup)
    : link(link), busy(link.exchangeRunning()), errors(std::uncaught_exceptions())
{
    record.operation = operation;
    record.reference = reference;
    record.issueGroup = issueGroup;
    timer.start();
}

ExchangeReport::~ExchangeReport()
{
    if (!link.exchangeEnded)
        return;
    record.ending = busy                                  ? ExchangeRecord::Ending::Busy
                    : std::uncaught_exceptions() > errors ? ExchangeRecord::Ending::Error
                                                          : ExchangeRecord::Ending::Result;
    record.result = link.RangeOK;
    if (record.ending == ExchangeRecord::Ending::Result)
        record.reason = link.lastReason;
    record.elapsedUs = timer.nsecsElapsed() / 1000;
    try {
        link.exchangeEnded(record);
    } catch (...) {
        // A journal that fails must not change how the exchange ended.
    }
}

ExchangeRecord::Operation ExchangeReport::validationOf(const QString &rangeType)
{
    return rangeType == QLatin1String("C") ? ExchangeRecord::Operation::CardValidation
                                           : ExchangeRecord::Operation::VoucherValidation;
}
