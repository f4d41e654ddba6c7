#pragma once

// The whole kiosk against the simulated server, driven the way a careless crowd would
// drive it: a reader that types anything, fingers that tap every click area, and the
// bookkeeping that tells afterwards whether every dispensed bucket was reported once,
// for the right card or voucher.

#include "support/simfixture.h"
#include "tools/quillmark-sim/simrequest.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>
#include <random>

class QWidget;
class WindowSet;

namespace floods {

enum class Screen { Barcode, Card };

// What a customer screen is doing, as the customer can tell from its message line.
enum class State {
    Hidden,
    Waiting,    // waiting for a read (also after a refused card)
    Validating, // "Please wait"
    Offering,   // "Place bucket under dispenser. "
    Dispensing, // the countdown
    Reporting,  // the usage report and the pause after it
    Failed,     // a refusal or link failure message and the pause after it
};

State stateOf(Screen screen);
bool onMainScreen();

// Accounts of the simulated server: every card and voucher number is distinct, so that a
// report naming the wrong one shows. Slow ones answer late; one reference closes the
// connection without a reply (a link failure); any other number is refused.
struct Accounts
{
    static constexpr int bucketBalls[3] = {5, 8, 12};
    static const QString linkFailure;
    static const QString refused;

    explicit Accounts(int count);
    QByteArray json() const;

    QStringList vouchers, slowVouchers, cards, slowCards;
    QHash<QString, int> voucherBalls;
};

// A countdown seen on a message line: which screen, and the count it started from.
struct Countdown
{
    Screen screen;
    int balls;
};

// Samples both message lines at every pass over the event queue, so at every pump the
// screens and the link make, and notes each countdown that starts (also one started
// inside another, which would show as a count going up again).
class CountdownWatch
{
public:
    CountdownWatch();
    QList<Countdown> countdowns;

private:
    void sample();
    QString last[2];
    QTimer timer;
};

// Input as the hardware delivers it, routed when it is dispatched: keystrokes go to the
// entry box of the customer screen that is up, taps to whatever is drawn at the tapped
// point of the window on top. Nothing reaches a hidden window.
class Fingers : public QObject
{
public:
    // Every click area of the three windows but the staff exit areas, as (window, rect).
    Fingers();

    void typeNow(QChar key);
    void tapNow(QWidget *window, const QPoint &point);
    // Queued: dispatched at the next pump of a handler, or after a pause.
    void typeLater(QChar key);
    void tapLater(QWidget *window, const QPoint &point);

    struct Target
    {
        QPointer<QWidget> window;
        QRect rect; // in the window's coordinates
    };
    QList<Target> targets;

protected:
    bool event(QEvent *event) override;
};

// Posts bursts of random keystrokes and taps at every pass over the event queue (so at
// every pump) on which `when` holds, until its budget is spent.
class Flooder
{
public:
    Flooder(Fingers &fingers, std::mt19937 &random, std::function<bool()> when, int budget);
    void stop() { timer.stop(); }
    int posted = 0;

    // Taps among the events and Enter among the keystrokes, in percent.
    int tapPercent = 25;
    int enterPercent = 4;
    static QChar randomKey(std::mt19937 &random, int enterPercent);

private:
    void tick();
    Fingers &fingers;
    std::mt19937 &random;
    std::function<bool()> when;
    int budget;
    QTimer timer;
};

// The simulated server, the kiosk's windows with shortened pauses and the crowd.
class FloodKiosk
{
public:
    explicit FloodKiosk(int accounts = 40);
    ~FloodKiosk();

    // One customer: opens the screen, presents the reference (and, on the card screen, a
    // fresh valid card after a failed read), and touches an offered bucket. The flood may
    // have taken the screen elsewhere by then; whatever the screen does is accepted here
    // and judged afterwards from the ledger.
    void customer(Screen screen, const QString &reference, std::mt19937 &random);
    // True once the kiosk is back on its main screen, within the time given.
    bool settles(int timeoutMs);
    QString nextReference(Screen screen, bool slow);

    // Every fault in the ledger against the countdowns seen: one report per dispensed
    // bucket, naming the card or voucher of the offer taken, none without one.
    QStringList ledgerFaults(const QList<Countdown> &countdowns) const;

    Accounts accounts;
    QTemporaryDir dir;
    SimFixture sim;
    std::unique_ptr<WindowSet> windows;
    Fingers fingers;

private:
    void read(const QString &reference);
    int used[2][2] = {{0, 0}, {0, 0}};
};

} // namespace floods
