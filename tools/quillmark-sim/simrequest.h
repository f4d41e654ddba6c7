#pragma once

#include <QByteArray>
#include <QString>

// One request as the simulated server received it, kept in its ledger. The item values
// are the texts as sent (Date and Time keep their "%2F" / "%3A" separators); a frame that
// could not be read leaves them empty and only raw tells what arrived.
struct SimRequest
{
    QString command, rangeType, reference, issueGroup, date, time;
    QByteArray raw; // the bytes received, the closing CR LF included
};
