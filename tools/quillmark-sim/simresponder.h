#pragma once

#include "tools/quillmark-sim/simdata.h"
#include "tools/quillmark-sim/simrequest.h"

#include <QByteArray>

// What the range's management server decides for one request: the reply body, and
// whether the accounts changed (a usage report took a price or used up a voucher).
namespace simresponder {

struct Answer
{
    QByteArray body;
    bool changed = false;
};

Answer answer(const SimRequest &request, SimData &data);

// A refusal; blanks in the reason are written "+", as the kiosk expects.
QByteArray refusal(const QString &reason);

// An amount with the decimal point written "%2E" and a minus sign "%2D".
QByteArray amountItem(Cents amount);

// The reply body bent by a fault mode that still answers: nofinalamp drops the last "&",
// notanumber spoils one numeric value (key, or the first Number/CardBalance/RangeOK item),
// nine answers RangeOK=9, raw and bytes answer the given body (bytes goes out unframed).
// Other modes leave it as it is.
QByteArray applyFault(const QByteArray &body, const SimFault &fault);

} // namespace simresponder
