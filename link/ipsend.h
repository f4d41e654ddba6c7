#pragma once

#include "link/linkclient.h"
#include "ui_ipsend.h"

#include <QString>
#include <QStringList>
#include <QWidget>

class QKeyEvent;
class QShowEvent;
class QTimer;

// The link client and, as its window face, the technicians' link test window. The
// screens call the exchanges through the global IPsend and read its reply record; a
// technician composes a validation request here, sends it to a server of choice and
// reads the parsed reply. The kiosk never shows the window itself (see --link-test); its
// close button (or Escape) hides it again, and the kiosk runs on.
class TIPsend : public QWidget, public LinkClient, public Ui::TIPsend
{
    Q_OBJECT
public:
    explicit TIPsend(QWidget *parent = nullptr);

    // Ticks every second from creation to the end of the program, shown or not.
    QTimer *const Timer1;

    // Creation handler: today's date into Date, then the link settings file at
    // settingsPath (see readSettings); a missing file throws FileError after the window
    // is complete.
    virtual void FormCreate(const QString &settingsPath);

    void Timer1Timer();
    void CommandChange();
    void RangeTypeChange();
    void ReferenceChange();
    void DateChange();
    void TimeChange();
    void Edit1Change();
    // Sends messagestring, whatever last wrote it, to ServerIP and Port; gives up like a
    // validation when no reply comes (RangeOK 9). SendStatus tells how it ended.
    void Button1Click();

    // Rebuilds the preview of a validation request from the fields into messagestring,
    // intmessagelength, Edit1 and noofbytes. Its command and range type are always
    // ValidateRangeId and P.
    void refreshmessage();

protected:
    void showEvent(QShowEvent *event) override;
    // Escape closes (hides) the window, also where no window manager gives it a title bar.
    void keyPressEvent(QKeyEvent *event) override;
    // Server address and port go to the footers of both customer screens.
    void settingsRead(const QString &server, const QString &port) override;
    // Every reply, whoever started the exchange, shows here.
    void showReplyLength(int value) override;
    void showReplyItems(const QStringList &items) override;
    // How every exchange ended, whoever started it, shows in SendStatus.
    void showEnding(const QString &text) override;
};
