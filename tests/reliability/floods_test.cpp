// Floods: thousands of random reader characters (control characters and Enter among them)
// and taps on every click area, poured into each state of both customer screens, while
// customers go through them. Afterwards the simulated server's ledger must show exactly
// one usage report per bucket counted out, naming the card or voucher whose offer was
// taken, and none without one; no error may have left a handler, and the kiosk must be
// back on its main screen and still serve the next customers.
//
// The random input is seeded: each row prints the run's seed, and FLOODS_SEED=<n> runs with
// another one (alone or with a row's name, it replays that row).

#include "floodkiosk.h"
#include "link/ipsend.h"
#include "platform/errors.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <exception>
#include <functional>
#include <utility>

using namespace floods;

namespace {

// Errors that left a handler: the kiosk's application object would show them in a box.
QStringList escapedErrors;

class RecordingApplication : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const KioskError &e) {
            escapedErrors << e.message();
        } catch (const std::exception &e) {
            escapedErrors << QString::fromLocal8Bit(e.what());
        }
        return false;
    }
};

// The offscreen platform says so at every opening of the voucher screen.
QtMessageHandler testLog = nullptr;
void withoutRaiseNotes(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text != QLatin1String("This plugin does not support raise()"))
        testLog(type, context, text);
}

quint32 baseSeed()
{
    bool ok = false;
    const quint32 seed = qEnvironmentVariable("FLOODS_SEED").toUInt(&ok);
    return ok ? seed : 20261210u;
}

enum class Presented { Valid, Slow, Refused, LinkFailure };

QString describe(const FloodKiosk &kiosk)
{
    return QStringLiteral("main %1, voucher screen %2 \"%3\", card screen %4 \"%5\"")
        .arg(mainscreen->isVisible())
        .arg(barcodescreen->isVisible())
        .arg(barcodescreen->Label1->text())
        .arg(rfidscreen->isVisible())
        .arg(rfidscreen->label1->text())
        .append(QStringLiteral(", %1 requests").arg(kiosk.sim.requests().size()));
}

int count(const QList<SimRequest> &requests, const QString &command)
{
    return int(std::count_if(requests.cbegin(), requests.cend(),
                             [&](const SimRequest &r) { return r.command == command; }));
}

} // namespace

Q_DECLARE_METATYPE(floods::Screen)
Q_DECLARE_METATYPE(floods::State)
Q_DECLARE_METATYPE(Presented)

class FloodsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void floodInEveryState_data();
    void floodInEveryState();
    void crowdWhileBusy();
    void longReads_data();
    void longReads();
    void voucherScreenReopenedDuringValidation();

private:
    void run(const std::function<bool()> &when, int budget, int timeoutMs,
             const std::function<std::pair<Screen, Presented>(int)> &customers,
             const std::function<void(Flooder &)> &tune = {});
};

void FloodsTest::initTestCase()
{
    testLog = qInstallMessageHandler(withoutRaiseNotes);
}

void FloodsTest::cleanupTestCase()
{
    qInstallMessageHandler(testLog);
}

void FloodsTest::floodInEveryState_data()
{
    QTest::addColumn<Screen>("screen");
    QTest::addColumn<State>("state");
    QTest::addColumn<Presented>("presented");
    QTest::addColumn<int>("timeoutMs");

    const auto B = Screen::Barcode;
    const auto C = Screen::Card;
    QTest::newRow("voucher waiting") << B << State::Waiting << Presented::Valid << 1000;
    QTest::newRow("voucher validating") << B << State::Validating << Presented::Slow << 1000;
    QTest::newRow("voucher offering") << B << State::Offering << Presented::Valid << 1000;
    QTest::newRow("voucher dispensing") << B << State::Dispensing << Presented::Valid << 1000;
    QTest::newRow("voucher report and pause") << B << State::Reporting << Presented::Valid << 1000;
    QTest::newRow("voucher refused pause") << B << State::Failed << Presented::Refused << 1000;
    QTest::newRow("voucher link failure pause")
        << B << State::Failed << Presented::LinkFailure << 1000;
    // The timeout falls due while the validation blocks: it runs at the link's pump.
    QTest::newRow("voucher validating, timeout due")
        << B << State::Validating << Presented::Slow << 100;
    QTest::newRow("card waiting") << C << State::Waiting << Presented::Valid << 1000;
    QTest::newRow("card validating") << C << State::Validating << Presented::Slow << 1000;
    QTest::newRow("card validating, timeout due")
        << C << State::Validating << Presented::Slow << 100;
    QTest::newRow("card offering") << C << State::Offering << Presented::Valid << 1000;
    QTest::newRow("card dispensing") << C << State::Dispensing << Presented::Valid << 1000;
    QTest::newRow("card report and pause") << C << State::Reporting << Presented::Valid << 1000;
    QTest::newRow("card link failure pause")
        << C << State::Failed << Presented::LinkFailure << 1000;
}

QString reference(FloodKiosk &kiosk, Screen screen, Presented presented)
{
    switch (presented) {
    case Presented::Valid:
        return kiosk.nextReference(screen, false);
    case Presented::Slow:
        return kiosk.nextReference(screen, true);
    case Presented::Refused:
        return Accounts::refused;
    case Presented::LinkFailure:
        break;
    }
    return Accounts::linkFailure;
}

// Customers come one after another while the flood pours in whenever `when` holds; then the
// run settles and is judged.
void FloodsTest::run(const std::function<bool()> &when, int budget, int timeoutMs,
                     const std::function<std::pair<Screen, Presented>(int)> &customers,
                     const std::function<void(Flooder &)> &tune)
{
    // Each row's input follows from the run's seed and the row's name alone, so a row run
    // by itself replays what it did in the whole run.
    const QByteArray name = QByteArray(QTest::currentTestFunction()) + QTest::currentDataTag();
    const quint32 seed = baseSeed() ^ quint32(qHash(name, 0));
    qInfo("FLOODS_SEED=%u (row seed %u)", baseSeed(), seed);
    std::mt19937 random(seed);
    escapedErrors.clear();

    FloodKiosk kiosk;
    barcodescreen->timeout->setInterval(timeoutMs);
    rfidscreen->timeout->setInterval(timeoutMs);
    CountdownWatch watch;
    Flooder flooder(kiosk.fingers, random, when, budget);
    if (tune)
        tune(flooder);
    for (int i = 0; i < 24 && flooder.posted < budget; ++i) {
        const auto [screen, presented] = customers(i);
        kiosk.customer(screen, reference(kiosk, screen, presented), random);
    }
    flooder.stop();
    QTest::qWait(20); // what is still queued runs now
    QVERIFY2(kiosk.settles(10000), qPrintable(describe(kiosk)));
    // The flood really reached the state: most of its budget was poured in there.
    QVERIFY2(flooder.posted >= budget / 2, qPrintable(QString::number(flooder.posted)));

    // The kiosk still serves: one voucher and one card, each counted out and reported.
    barcodescreen->timeout->setInterval(1000);
    rfidscreen->timeout->setInterval(1000);
    const qsizetype before = kiosk.sim.requests().size();
    const QString voucher = kiosk.nextReference(Screen::Barcode, false);
    const QString card = kiosk.nextReference(Screen::Card, false);
    kiosk.customer(Screen::Barcode, voucher, random);
    kiosk.customer(Screen::Card, card, random);
    QVERIFY2(kiosk.settles(5000), qPrintable(describe(kiosk)));
    QStringList served;
    for (const SimRequest &request : kiosk.sim.requests().mid(before))
        if (request.command == QLatin1String("SetRangeUsage"))
            served << request.reference;
    QCOMPARE(served, QStringList({voucher, card}));

    const QList<SimRequest> ledger = kiosk.sim.requests();
    qInfo("%d events poured in; %d validations, %d usage reports, %d buckets counted out",
          flooder.posted, count(ledger, "ValidateRangeId"), count(ledger, "SetRangeUsage"),
          int(watch.countdowns.size()));
    const QStringList faults = kiosk.ledgerFaults(watch.countdowns);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
    QVERIFY2(escapedErrors.isEmpty(), qPrintable(escapedErrors.join(QLatin1Char('\n'))));
}

void FloodsTest::floodInEveryState()
{
    QFETCH(Screen, screen);
    QFETCH(State, state);
    QFETCH(Presented, presented);
    QFETCH(int, timeoutMs);
    run([=] { return stateOf(screen) == state; }, 3000, timeoutMs,
        [=](int) { return std::pair(screen, presented); });
}

// A crowd: vouchers and cards in turns, good, slow, refused and failing ones, and the flood
// pouring in whenever a handler of either screen holds the kiosk (validating, counting out,
// reporting, showing a failure), so that everything queued behind it meets the next state.
void FloodsTest::crowdWhileBusy()
{
    const Presented mix[] = {Presented::Valid,   Presented::Valid, Presented::Slow,
                             Presented::Refused, Presented::Valid, Presented::LinkFailure};
    const auto busy = [](Screen screen) {
        const State state = stateOf(screen);
        return state != State::Hidden && state != State::Waiting && state != State::Offering;
    };
    run([=] { return busy(Screen::Barcode) || busy(Screen::Card); }, 8000, 1000,
        [&](int i) { return std::pair(i % 2 ? Screen::Card : Screen::Barcode, mix[i / 2 % 6]); });
}

void FloodsTest::longReads_data()
{
    QTest::addColumn<Screen>("screen");
    QTest::newRow("voucher") << Screen::Barcode;
    QTest::newRow("card") << Screen::Card;
}

// A reader that types on and on without Enter and nobody touching the screen: thousands of
// characters gather in front of the next customer's number, far more than a request can
// carry.
void FloodsTest::longReads()
{
    QFETCH(Screen, screen);
    run([=] { return stateOf(screen) == State::Waiting; }, 4000, 1000,
        [=](int) { return std::pair(screen, Presented::Valid); },
        [](Flooder &flooder) {
            flooder.tapPercent = 0;
            flooder.enterPercent = 0;
        });
}

// Taps that wait while a voucher is validated are handled at the link's pump, each on the
// window on top by then: the return area closes the voucher screen and the main screen's
// "Barcode" opens it again, all before the validation's answer is taken. The answer must
// not become an offer on the new opening, whose voucher number is still empty.
void FloodsTest::voucherScreenReopenedDuringValidation()
{
    escapedErrors.clear();
    FloodKiosk kiosk;
    CountdownWatch watch;
    const QString voucher = kiosk.nextReference(Screen::Barcode, true); // answers after 150 ms
    bool tapped = false;
    QTimer whileWaiting;
    whileWaiting.setInterval(0);
    QObject::connect(&whileWaiting, &QTimer::timeout, [&] {
        if (tapped || stateOf(Screen::Barcode) != State::Validating)
            return;
        tapped = true;
        kiosk.fingers.tapLater(barcodescreen, barcodescreen->imgreturn->geometry().center());
        kiosk.fingers.tapLater(mainscreen, mainscreen->Image2->geometry().center());
    });
    whileWaiting.start();
    mainscreen->Image2Click();
    for (const QChar c : voucher)
        kiosk.fingers.typeNow(c);
    kiosk.fingers.typeNow(QChar(13));
    QVERIFY(tapped);
    QVERIFY(barcodescreen->isVisible()); // opened again
    if (stateOf(Screen::Barcode) == State::Offering)
        kiosk.fingers.tapNow(barcodescreen, barcodescreen->nas->geometry().center());
    QVERIFY(kiosk.settles(5000));
    const QStringList faults = kiosk.ledgerFaults(watch.countdowns);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
    QVERIFY2(escapedErrors.isEmpty(), qPrintable(escapedErrors.join(QLatin1Char('\n'))));
}

int main(int argc, char **argv)
{
    RecordingApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    FloodsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "floods_test.moc"
