#pragma once

#include <QString>

// What the latest exchange brought back; the screens read it after a call returns. It is
// not cleared between exchanges: the numbers and prices are zeroed per reply, while the
// error text and the balance change only when a reply carries a value for them.
struct ReplyRecord
{
    // Result code: -1 exchange under way, 1 accepted, 9 no reply from the server, the
    // link's own refusals below -1, any other value refused by the server (reason in
    // IPerror when the reply gave one). The names are in linkresult (link/linkclient.h).
    int RangeOK = -1;
    QString IPerror;
    double CardBalance = 0;
    int number1 = 0, number2 = 0, number3 = 0, number4 = 0;
    double Price1 = 0, Price2 = 0, Price3 = 0, Price4 = 0;
};
