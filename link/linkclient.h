#pragma once

#include "link/exchangerecord.h"
#include "link/replyrecord.h"
#include "link/tcpclient.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>

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
    // locale's).
    void readSettings(const QString &path);

    // The three exchanges; each blocks the calling (GUI) thread and returns RangeOK.
    // A reference that would break the request's items, or make it too long for its
    // length byte, is refused without connecting: 0, with the reason in IPerror.
    int sendinput(const QString &id, const QString &rangeType);
    int sendvendstatus(const QString &id, const QString &rangeType);
    int sendcardvendstatus(const QString &id, const QString &rangeType, int issueGroup);

    // The link test window's Send: messagestring to the given host and port.
    int sendMessageTo(const QString &host, const QString &port);

    // True while an exchange runs. An exchange started meanwhile (from a handler run by
    // the reply parser's message pump) is refused: it returns refusedNested and leaves
    // every field alone.
    bool exchangeRunning() const;
    static constexpr int refusedNested = 0;

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

    // The reply parser: parses one whole reply into the record, showing its length and
    // items through the hooks and pumping pending window messages once.
    void ClientSocket1Receive(QByteArrayView reply);

protected:
    // Hooks for the window face: the reply parser's writes into Edit2 and strlist, and
    // the settings' writes into the customer screens' footer labels.
    virtual void showReplyLength(int /*value*/) {}
    virtual void showReplyItems(const QStringList & /*items*/) {}
    virtual void settingsRead(const QString & /*server*/, const QString & /*port*/) {}
    // One pass over the pending window messages, once per reply.
    virtual void pumpMessages();

private:
    int refuse(const QString &reason);
    // Frames the body, connects to the given server, sends the frame and reads and
    // parses one reply within waitMs; 9 when none came.
    int exchange(const QString &body, const QString &host, const QString &port, int waitMs);
    int run(const QString &host, const QString &port, int waitMs);

    bool running = false;
};
