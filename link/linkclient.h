#pragma once

#include "link/exchangerecord.h"
#include "link/replyrecord.h"
#include "link/tcpclient.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>

// Result codes of the exchanges (the value of RangeOK they return). Any other value comes
// from the server and is a refusal; so is 0, the server's usual one. The link's own codes
// below -1 are never sent by the server the kiosk was written for.
namespace linkresult {
inline constexpr int underWay = -1; // set while an exchange runs
inline constexpr int accepted = 1;
// No readable reply within the bound (no connection, no reply, a reply cut short or
// holding a control byte, a reply without items or without a result code), link settings
// that cannot work (see LinkClient::settingsError), or a reply that itself carries 9.
inline constexpr int noReply = 9;
// Another exchange is running (the call came from a handler run by its message pump):
// nothing was sent and no field changed.
inline constexpr int busy = -2;
// The link refused the request before connecting (a reference that would break the
// request's items or make a request too long for its length byte); the reason is in
// linkRefusal, IPerror is left alone.
inline constexpr int refusedByLink = -3;
} // namespace linkresult

// The kiosk's one connection point to the management server: reads the link settings,
// runs one exchange at a time and keeps the last reply in its reply record (RangeOK,
// IPerror, CardBalance, number1..4, Price1..4), which the screens read directly after a
// call returns. Widget-free; TIPsend puts a window on it.
class LinkClient : public ReplyRecord
{
public:
    LinkClient();
    virtual ~LinkClient();
    LinkClient(const LinkClient &) = delete;
    LinkClient &operator=(const LinkClient &) = delete;

    // Link settings (config.ini lines 1 and 2).
    QString remoteserver;
    QString remoteport;

    // The frame last built (four header characters and body) and its L.
    QString messagestring;
    qint16 intmessagelength = 0;

    // Encoded date and time of the latest validation ("%2F" / "%3A" forms).
    QString transdate;
    QString transtime;

    // The TCP client of all exchanges. It comes up active: a connect to no host, which
    // fails and leaves its socket open but unconnected until the first exchange.
    TTcpClient ClientSocket1;

    // Reads the three-line settings file; throws FileError("The specified file was not
    // found") when it cannot be opened. Lines 1/2 reach settingsRead(); the first
    // character of line 3 becomes the decimal separator (an empty line 3 restores the
    // locale's). A separator that cannot separate decimals (decimalSeparatorFault) is
    // not taken: the locale's stays and settingsError says why.
    void readSettings(const QString &path);

    // Why the link settings cannot work, for the technician; empty when they can. While
    // it is set every exchange ends as a link failure (9) without connecting, so that no
    // amount is ever read with a separator known to be wrong.
    QString settingsError;

    // The three exchanges; each blocks the calling (GUI) thread and returns RangeOK.
    // A reference that would break the request's items, or make it or a request that
    // follows it too long for the length byte, is refused without connecting:
    // linkresult::refusedByLink, with the reason in linkRefusal. A validation refuses a
    // reference its usage report could not carry (for range type "C" the card usage
    // report, 11 characters longer), so that a bucket it pays for can always be reported.
    int sendinput(const QString &id, const QString &rangeType);
    int sendvendstatus(const QString &id, const QString &rangeType);
    int sendcardvendstatus(const QString &id, const QString &rangeType, int issueGroup);

    // The link test window's Send: messagestring to the given host and port.
    int sendMessageTo(const QString &host, const QString &port);

    // True while an exchange runs. An exchange started meanwhile (from a handler run by
    // the reply parser's message pump) is refused: it returns refusedNested and leaves
    // every field alone.
    bool exchangeRunning() const;
    static constexpr int refusedNested = linkresult::busy;

    // Why the link refused the latest exchange itself, for the technician (never shown
    // to a customer); empty when the latest exchange was sent.
    QString linkRefusal;
    // How the latest exchange ended, in words for the link test window: which exchange,
    // its result code and, for the link's own results, why.
    QString lastEnding;
    // The why alone ("reply lost (...)", "no reply within 10 s"), also for the journal;
    // empty when the server's reply decided the result.
    QString lastReason;

    // Bounds in milliseconds, shortened by tests through the object. A validation or the
    // test window's Send that gets no reply within its bound returns 9, and so does a
    // usage report, and any exchange whose reply sets no result code.
    int validationWaitMs = 10000;
    int reportWaitMs = 10000;
    int connectTimeoutMs = 5000;

    // Told of every call of the four operations above when it ends, refusals and errors
    // included (the kiosk's --log). Empty: nobody is told.
    std::function<void(const ExchangeRecord &)> exchangeEnded;

    // The clock read by a validation; tests may replace it.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

    // The send notification: runs once a frame has gone out whole, with its bytes (the
    // line end left off). The link has nothing to do then.
    void ClientSocket1Send(QByteArrayView /*frame*/) {}

    // The reply parser: parses one whole reply into the record, showing its length and
    // items through the hooks and pumping pending window messages once. False when the
    // reply holds no items.
    bool ClientSocket1Receive(QByteArrayView reply);

protected:
    // Hooks for the window face: the reply parser's writes into Edit2 and strlist, and
    // the settings' writes into the customer screens' footer labels.
    virtual void showReplyLength(int /*value*/) {}
    virtual void showReplyItems(const QStringList & /*items*/) {}
    virtual void settingsRead(const QString & /*server*/, const QString & /*port*/) {}
    // lastEnding has changed.
    virtual void showEnding(const QString & /*text*/) {}
    // One pass over the pending window messages, once per reply.
    virtual void pumpMessages();

private:
    int refuse(const QString &what, const QString &reason);
    int refuseBusy(const QString &what);
    // Says how the exchange ended, with its result code; tell() says it in other words.
    int end(const QString &what, const QString &why = {});
    void tell(const QString &text);
    // Frames the body, connects to the given server, sends the frame and reads and
    // parses one reply within waitMs; 9 when none came.
    int exchange(const QString &what, const QString &body, int waitMs);
    int run(const QString &what, const QString &host, const QString &port, int waitMs);
    int receiveReply(const QString &what, int waitMs);

    bool running = false;
    // A call refused while an exchange ran, said again when that exchange ends.
    QString busyNote;
};
