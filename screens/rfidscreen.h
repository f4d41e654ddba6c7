#pragma once

#include "screens/customerscreen.h"
#include "screens/offerrules.h"
#include "ui_rfidscreen.h"

#include <QString>

class QTimer;

// The members card screen: waits for a card read, has the card validated, offers the
// buckets the balance pays for, counts the chosen bucket down, reports it and returns to
// the main screen. Returns by itself 30 s after opening or after an accepted read.
class Trfidscreen : public CustomerScreen, public Ui::Trfidscreen
{
    Q_OBJECT
public:
    explicit Trfidscreen(QWidget *parent = nullptr);
    ~Trfidscreen() override;

    // Characters from the reader since the last completed read, the current read's card
    // number and the count of the bucket being dispensed.
    QString bc;
    QString cardno;
    int balls = 0;

    // The offers of the last accepted read.
    double credit = 0;
    int sb = 0, mb = 0, lb = 0;
    FixedCurrency sp = 0, mp = 0, lp = 0;
    int choices = 0; // the largest bucket on offer: 0 none, 1 small, 2 medium, 3 large

    QTimer *timeout = nullptr; // 30 s, started on opening and by an accepted read

    // Pauses in milliseconds; tests shorten them.
    int stepMs = 100;
    int linkErrorPauseMs = 2000;
    int reportPauseMs = 2000;

    void FormShow() override;
    void FormActivate();
    void FormHide() override;
    void edcardnoKeyPress(QChar key);
    void fillprices();
    void imgsmallbucketClick();
    void imgmediumbucketClick();
    void imglargebucketClick();
    void imgreturnClick();
    void timeoutTimer();

    bool busy() const override { return m_busy; }

    // Runs the activation handler within show(), as the window system may report the
    // activation late or, on some platforms, not at all.
    void setVisible(bool visible) override;

protected:
    bool event(QEvent *event) override;

private:
    void dispense(int count, QLabel *keptPicture, int issueGroup);
    void endDispensing();
    void endRead();
    void withdrawOffers();

    // A validation or a countdown is running: card reads and bucket clicks that arrive
    // through its message pumps are ignored.
    bool m_busy = false;
    // Another window of the program was active since this screen last activated.
    bool m_otherWindowWasActive = false;
};
