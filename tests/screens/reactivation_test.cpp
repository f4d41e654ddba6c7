// Both customer screens when one of the program's own dialogs is shown over them and
// closed: the screen becomes active again without having been hidden, runs its activation
// steps again, and its running timeout goes on from where it was rather than starting over.

#include "rfidkiosk.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <memory>
#include <variant>

namespace {

// One customer screen of a kiosk against the simulated server, opened and with an
// accepted read on it.
struct Served
{
    QWidget *window = nullptr;
    QTimer *timeout = nullptr;
    std::function<int()> choices;
    std::variant<std::unique_ptr<barcodetest::Kiosk>, std::unique_ptr<rfidtest::Kiosk>> kiosk;
};

Served serve(bool card, int intervalMs)
{
    Served served;
    if (card) {
        auto kiosk = std::make_unique<rfidtest::Kiosk>();
        rfidscreen->timeout->setInterval(intervalMs);
        kiosk->open();
        rfidtest::Kiosk::read(QStringLiteral("12345678"));
        served = {rfidscreen, rfidscreen->timeout, [] { return rfidscreen->choices; },
                  std::move(kiosk)};
    } else {
        auto kiosk = std::make_unique<barcodetest::Kiosk>();
        barcodescreen->timeout->setInterval(intervalMs);
        kiosk->open();
        kiosk->read(QStringLiteral("900040"));
        served = {barcodescreen, barcodescreen->timeout, [] { return barcodescreen->choices; },
                  std::move(kiosk)};
    }
    return served;
}

} // namespace

class ReactivationTest : public QObject
{
    Q_OBJECT

private slots:
    void dialogOverTheScreenKeepsTheRunningTimeout_data();
    void dialogOverTheScreenKeepsTheRunningTimeout();
};

void ReactivationTest::dialogOverTheScreenKeepsTheRunningTimeout_data()
{
    QTest::addColumn<bool>("card");
    QTest::newRow("voucher screen") << false;
    QTest::newRow("members card screen") << true;
}

void ReactivationTest::dialogOverTheScreenKeepsTheRunningTimeout()
{
    QFETCH(bool, card);
    // Short enough for a quick test, long enough that a restart stands out from the
    // time the dialog takes.
    constexpr int intervalMs = 4000;
    constexpr int dialogMs = 1500;
    Served screen = serve(card, intervalMs);
    QVERIFY(screen.window->isVisible());
    QVERIFY(screen.choices() > 0);
    QTRY_VERIFY_WITH_TIMEOUT(screen.window->isActiveWindow(), 2000);
    QElapsedTimer clock;
    clock.start();
    const int left = screen.timeout->remainingTime();
    QVERIFY2(left > intervalMs - 1000, qPrintable(QString::number(left)));

    {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Orvanta"),
                        QStringLiteral("A word from the program"), QMessageBox::Ok, screen.window);
        box.show();
        QTRY_VERIFY_WITH_TIMEOUT(box.isActiveWindow(), 2000);
        QTest::qWait(dialogMs);
        box.accept();
    }
    // The window system gives the activation back to the screen under the dialog.
    screen.window->activateWindow();
    QTRY_VERIFY_WITH_TIMEOUT(screen.window->isActiveWindow(), 2000);
    // The activation steps ran again: the offer is withdrawn.
    QTRY_COMPARE_WITH_TIMEOUT(screen.choices(), 0, 2000);
    QVERIFY(screen.window->isVisible());

    // The timeout goes on: what is left is what was left less the time since, give or take
    // a few milliseconds. A restart would leave nearly the whole interval again (within
    // the 5 % that Qt's coarse timers may be off).
    QVERIFY(screen.timeout->isActive());
    const qint64 since = clock.elapsed();
    const int remaining = screen.timeout->remainingTime();
    QVERIFY2(remaining <= left - since + intervalMs / 20,
             qPrintable(QStringLiteral("%1 ms left, %2 ms left %3 ms before")
                            .arg(remaining)
                            .arg(left)
                            .arg(since)));
}

QTEST_MAIN(ReactivationTest)
#include "reactivation_test.moc"
