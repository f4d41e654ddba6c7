#pragma once

#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>

// The kiosk's one connection point to the management server: reads the link settings,
// runs one exchange at a time and keeps the last reply in its reply record, which the
// screens read directly after a call returns. Widget-free; TIPsend puts a window on it.
//
// CONTRACT NOTE (skeleton): the field and operation names below are fixed; the link
// work fills in the implementation and may add members.
class LinkClient
{
public:
    LinkClient();
    virtual ~LinkClient();

    // Link settings (config.ini lines 1 and 2).
    QString remoteserver;
    QString remoteport;

    // The frame last built (four header characters and body) and its L.
    QString messagestring;
    qint16 intmessagelength = 0;

    // Encoded date and time of the latest validation ("%2F" / "%3A" forms).
    QString transdate;
    QString transtime;

    // Reply record.
    int RangeOK = -1;
    QString IPerror;
    double CardBalance = 0;
    int number1 = 0, number2 = 0, number3 = 0, number4 = 0;
    double Price1 = 0, Price2 = 0, Price3 = 0, Price4 = 0;

    // Reads the three-line settings file; throws FileError("The specified file was not
    // found") when it cannot be opened. Lines 1/2 reach settingsRead().
    void readSettings(const QString &path);

    // The three exchanges; each blocks the calling (GUI) thread and returns RangeOK.
    int sendinput(const QString &id, const QString &rangeType);
    int sendvendstatus(const QString &id, const QString &rangeType);
    int sendcardvendstatus(const QString &id, const QString &rangeType, int issueGroup);

    // The link test window's Send: messagestring to the given host and port.
    int sendMessageTo(const QString &host, const QString &port);

    // True while an exchange runs (a nested exchange is refused).
    bool exchangeRunning() const;

    // Bounds in milliseconds, shortened by tests through the object.
    int validationWaitMs = 10000;
    int reportWaitMs = 10000;
    int connectTimeoutMs = 5000;

    // The clock read by a validation; tests may replace it.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

protected:
    // Hooks for the window face: the reply parser's writes into Edit2 and strlist, and
    // the settings' writes into the customer screens' footer labels.
    virtual void showReplyLength(int /*value*/) {}
    virtual void showReplyItems(const QStringList & /*items*/) {}
    virtual void settingsRead(const QString & /*server*/, const QString & /*port*/) {}
};
