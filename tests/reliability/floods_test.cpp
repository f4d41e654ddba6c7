// Floods: thousands of random reader characters (control characters and Enter among them)
// and taps on every click area, poured into each state of both customer screens, while
// customers go through them. Afterwards the simulated server's ledger must show exactly
// one usage report per bucket counted out, naming the card or voucher whose offer was
// taken, and none without one; no error may have left a handler, and the kiosk must be
// back on its main screen and still serve the next customers.
//
// The random input is seeded (printed per row); FLOODS_SEED=<n> replays another run.

#include "floodkiosk.h"
#include "link/ipsend.h"
#include "platform/errors.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include <QApplication>
#include <QTest>

#include <exception>

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

    const auto B = Screen::Barcode;
    const auto C = Screen::Card;
    QTest::newRow("voucher waiting") << B << State::Waiting << Presented::Valid;
    QTest::newRow("voucher validating") << B << State::Validating << Presented::Slow;
    QTest::newRow("voucher offering") << B << State::Offering << Presented::Valid;
    QTest::newRow("voucher dispensing") << B << State::Dispensing << Presented::Valid;
    QTest::newRow("voucher report and pause") << B << State::Reporting << Presented::Valid;
    QTest::newRow("voucher refused pause") << B << State::Failed << Presented::Refused;
    QTest::newRow("voucher link failure pause") << B << State::Failed << Presented::LinkFailure;
    QTest::newRow("card waiting") << C << State::Waiting << Presented::Valid;
    QTest::newRow("card validating") << C << State::Validating << Presented::Slow;
    QTest::newRow("card offering") << C << State::Offering << Presented::Valid;
    QTest::newRow("card dispensing") << C << State::Dispensing << Presented::Valid;
    QTest::newRow("card report and pause") << C << State::Reporting << Presented::Valid;
    QTest::newRow("card link failure pause") << C << State::Failed << Presented::LinkFailure;
}

void FloodsTest::floodInEveryState()
{
    QFETCH(Screen, screen);
    QFETCH(State, state);
    QFETCH(Presented, presented);

    static int row = 0;
    const quint32 seed = baseSeed() + quint32(row++);
    qInfo("seed %u", seed);
    std::mt19937 random(seed);
    escapedErrors.clear();

    FloodKiosk kiosk;
    CountdownWatch watch;
    constexpr int budget = 3000;
    Flooder flooder(kiosk.fingers, random, screen, state, budget);
    for (int customer = 0; customer < 16 && flooder.posted < budget; ++customer) {
        QString reference;
        switch (presented) {
        case Presented::Valid:
            reference = kiosk.nextReference(screen, false);
            break;
        case Presented::Slow:
            reference = kiosk.nextReference(screen, true);
            break;
        case Presented::Refused:
            reference = Accounts::refused;
            break;
        case Presented::LinkFailure:
            reference = Accounts::linkFailure;
            break;
        }
        kiosk.customer(screen, reference, random);
    }
    flooder.stop();
    QTest::qWait(20); // what is still queued runs now
    QVERIFY2(kiosk.settles(10000), qPrintable(describe(kiosk)));
    // The flood really reached the state: most of its budget was poured in there.
    QVERIFY2(flooder.posted >= budget / 2, qPrintable(QString::number(flooder.posted)));

    // The kiosk still serves: one voucher and one card, each counted out and reported.
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

int main(int argc, char **argv)
{
    RecordingApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    FloodsTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "floods_test.moc"
