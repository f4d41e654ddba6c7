#pragma once

#include "platform/errors.h"

#include <QDateTime>

// The framework's date-time: whole days since 30 December 1899, the fraction the time of day.
using TDateTime = double;

// A settings-store write that the caller asked to go through and that did not.
class RegistryError : public KioskError
{
public:
    using KioskError::KioskError;
};

// Local date and time as a TDateTime (no time zone: the value is what the clock shows).
inline TDateTime toTDateTime(const QDateTime &local)
{
    static const QDate epoch(1899, 12, 30);
    const QTime t = local.time();
    return double(epoch.daysTo(local.date())) + t.msecsSinceStartOfDay() / 86400000.0;
}
