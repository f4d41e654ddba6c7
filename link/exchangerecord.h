#pragma once

#include <QString>
#include <QtGlobal>

// One call of the link client's exchanges as the journal tells it (orvanta --log): what
// was asked, for which reference, and how it ended.
struct ExchangeRecord
{
    enum class Operation {
        VoucherValidation,
        CardValidation,
        VoucherReport,
        CardReport,
        TestSend, // the link test window's Send
    };
    enum class Ending {
        Result, // ended with the result code in result
        Busy,   // refused: another exchange was running
        Error,  // left by an error (a port that is no port, an unreadable reply)
    };

    Operation operation = Operation::VoucherValidation;
    QString reference;
    int issueGroup = 0; // the card usage report's size group; 0 for the other operations
    Ending ending = Ending::Result;
    int result = -1;
    qint64 elapsedUs = 0;
    // The link's own words for an ending it decided (LinkClient::lastReason): why a reply
    // was lost, a settings error, a refusal. Empty when the server's reply decided.
    QString reason;
};

// The word that marks a usage report the server did not confirm with result 1: the bucket
// was dispensed and the server may not know. journalctl -u orvanta-kiosk | grep UNCONFIRMED
// lists them all.
inline constexpr char unconfirmedMark[] = "UNCONFIRMED";

// One journal line: the operation, the reference cut to its last four characters, the
// size group, the result, the duration and, when the link gave one, its reason, e.g.
//   card-report ref=5678 group=2 result=9 ms=10003 UNCONFIRMED why="no reply within 10 s"
QString journalLine(const ExchangeRecord &record);

// A text made fit for one journal line: blanks, control characters and anything beyond
// ASCII become "?".
QString journalText(const QString &text);
