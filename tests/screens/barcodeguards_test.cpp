// The voucher screen's timing and its guards: the timeout, reads and touches that arrive
// while a voucher is being validated or dispensed, errors from the link, and the pace of
// the countdown.

#include "barcodekiosk.h"
#include "platform/errors.h"
#include "tools/quillmark-sim/simserver.h"

#include <QElapsedTimer>

using namespace barcodetest;

class BarcodeGuardsTest : public QObject
{
    Q_OBJECT

private slots:
    void timeoutCountsFromTheOpening();
    void timeoutDuringValidationClosesTheScreen();
    void pausesPumpNothing();
    void inputDuringCountdownIsIgnored_data();
    void inputDuringCountdownIsIgnored();
    void inputDuringValidationIsIgnored();
    void failedUsageReportStillReturns();
    void unreadableValidationReplyLeavesTheScreenUsable();
    void countdownKeepsItsPace();
};

void BarcodeGuardsTest::timeoutCountsFromTheOpening()
{
    Kiosk kiosk;
    barcodescreen->timeout->setInterval(1000);
    kiosk.open();
    // From the end of the opening, which started the timeout: the first showing's own
    // cost (pictures, fonts) varies with the machine's load and is no part of the bound.
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(500);
    kiosk.read("900040");
    QCOMPARE(barcodescreen->choices, 1);
    // The accepted voucher did not start the 30 s over: what is left is what remained.
    QVERIFY(barcodescreen->timeout->isActive());
    // (Qt's coarse timers may fire up to 5 % late.)
    const qint64 sinceOpening = clock.elapsed();
    const int left = barcodescreen->timeout->remainingTime();
    QVERIFY2(left <= 1000 - sinceOpening + 100,
             qPrintable(QStringLiteral("%1 ms left after %2 ms").arg(left).arg(sinceOpening)));
    QTRY_VERIFY_WITH_TIMEOUT(!barcodescreen->isVisible(), 3000);
    QVERIFY(clock.elapsed() >= 900);
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!barcodescreen->timeout->isActive());
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 0);
}

void BarcodeGuardsTest::timeoutDuringValidationClosesTheScreen()
{
    Kiosk kiosk;
    barcodescreen->timeout->setInterval(150);
    kiosk.open();
    kiosk.read("F-delay"); // the server answers after 400 ms
    QTRY_VERIFY(!barcodescreen->isVisible());
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!barcodescreen->timeout->isActive());
    // The rest of the handling ran out of sight: the offer was set up but never seen...
    QCOMPARE(kiosk.requests("ValidateRangeId").size(), 1);
    QCOMPARE(barcodescreen->choices, 1);
    // ... and the next opening withdraws it.
    kiosk.open();
    QCOMPARE(barcodescreen->choices, 0);
    QVERIFY(barcodescreen->nas->isHidden());
    QCOMPARE(barcodescreen->sbtext->text(), QString());
}

void BarcodeGuardsTest::pausesPumpNothing()
{
    Kiosk kiosk;
    barcodescreen->failurePauseMs = 300;
    kiosk.open();
    QElapsedTimer clock;
    qint64 shownAt = -1;
    qint64 tickAt = -1;
    TextRecorder line(barcodescreen->Label1, [&](const QString &text) {
        if (text != "Voucher not valid" || shownAt >= 0)
            return;
        shownAt = clock.elapsed();
        QTimer::singleShot(10, [&] { tickAt = clock.elapsed(); });
    });
    clock.start();
    kiosk.read("123456");
    QVERIFY(shownAt >= 0);
    QCOMPARE(tickAt, -1); // queued behind the pause
    QTRY_VERIFY(tickAt >= 0);
    QVERIFY2(tickAt - shownAt >= 300, qPrintable(QString::number(tickAt - shownAt)));
}

void BarcodeGuardsTest::inputDuringCountdownIsIgnored_data()
{
    QTest::addColumn<bool>("touch"); // else a complete read
    QTest::newRow("second touch on the bucket") << true;
    QTest::newRow("voucher read") << false;
}

void BarcodeGuardsTest::inputDuringCountdownIsIgnored()
{
    QFETCH(bool, touch);
    Kiosk kiosk;
    kiosk.open();
    kiosk.read("900003");
    bool injected = false;
    TextRecorder line(barcodescreen->Label1, [&](const QString &text) {
        if (text != "Dispensing: 2" || injected)
            return;
        injected = true;
        if (touch)
            kiosk.touchBucket();
        else
            kiosk.read("900040");
    });
    kiosk.touchBucket();
    line.sample();
    QVERIFY(injected);

    // One countdown, one report, for the voucher whose offer was taken.
    QCOMPARE(seq(line.texts),
             seq(QStringList({"Place bucket under dispenser. ", "Dispensing: 3", "Dispensing: 2",
                              "Dispensing: 1", "Dispensing: 0"})));
    QCOMPARE(kiosk.requests("ValidateRangeId").size(), 1);
    const QList<SimRequest> reports = kiosk.requests("SetRangeUsage");
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports[0].reference, QStringLiteral("900003"));
    QCOMPARE(barcodescreen->barcode, QStringLiteral("900003"));
    QVERIFY(!barcodescreen->isVisible());
    QVERIFY(mainscreen->isVisible());
}

void BarcodeGuardsTest::inputDuringValidationIsIgnored()
{
    Kiosk kiosk;
    kiosk.open();
    kiosk.read("900003");
    QCOMPARE(barcodescreen->choices, 1);

    // A second read (joined to the first, so refused); while it is validated, a touch on
    // the still offered bucket and a third read arrive.
    bool injected = false;
    TextRecorder line(barcodescreen->Label1, [&](const QString &text) {
        if (text != "Please wait" || injected)
            return;
        injected = true;
        kiosk.touchBucket();
        kiosk.read("900040");
    });
    kiosk.read("7");
    QVERIFY(injected);
    const QList<SimRequest> validations = kiosk.requests("ValidateRangeId");
    QCOMPARE(validations.size(), 2);
    QCOMPARE(validations[1].reference, QStringLiteral("9000037"));
    QCOMPARE(barcodescreen->barcode, QStringLiteral("9000037"));
    QCOMPARE(barcodescreen->bc, QStringLiteral("9000037")); // the ignored read left nothing
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 0);
    QCOMPARE(barcodescreen->Label1->text(), QStringLiteral("Voucher not valid"));
    QVERIFY(!barcodescreen->isVisible());
}

void BarcodeGuardsTest::failedUsageReportStillReturns()
{
    Kiosk kiosk;
    // A second server whose every reply carries a value that is not a number.
    SimFixture spoiled(data, [](SimServer &server) { server.globalFault.mode = "notanumber"; });
    kiosk.open();
    kiosk.read("900003");
    QCOMPARE(barcodescreen->choices, 1);
    IPsend->remoteport = QString::number(spoiled.port());

    QVERIFY_THROWS_EXCEPTION(KioskError, barcodescreen->nasClick());
    QCOMPARE(spoiled.requests().size(), 1);
    QCOMPARE(spoiled.requests()[0].command, QStringLiteral("SetRangeUsage"));
    QVERIFY(!barcodescreen->isVisible());
    QVERIFY(mainscreen->isVisible());
    QVERIFY(barcodescreen->imgreturn->isEnabled());
    QVERIFY(barcodescreen->Image1->isEnabled());
    QVERIFY(!barcodescreen->timeout->isActive());
    QVERIFY(!barcodescreen->busy());
    QTest::qWait(50);
    QCOMPARE(spoiled.requests().size(), 1); // no second report
}

void BarcodeGuardsTest::unreadableValidationReplyLeavesTheScreenUsable()
{
    Kiosk kiosk;
    kiosk.open();
    QTest::keyClicks(barcodescreen->edbarcode, "F-notanumber");
    QVERIFY_THROWS_EXCEPTION(KioskError, barcodescreen->edbarcodeKeyPress(QChar(13)));
    // The handler ended where the error arose: "Please wait" stays, nothing is busy and
    // the ways out still work.
    QCOMPARE(barcodescreen->Label1->text(), QStringLiteral("Please wait"));
    QVERIFY(barcodescreen->isVisible());
    QVERIFY(!barcodescreen->busy());
    QVERIFY(barcodescreen->timeout->isActive());
    QVERIFY(barcodescreen->imgreturn->isEnabled());
    QVERIFY(barcodescreen->Image1->isEnabled());
    QTest::mouseClick(barcodescreen->imgreturn, Qt::LeftButton);
    QVERIFY(!barcodescreen->isVisible());
    QVERIFY(mainscreen->isVisible());
}

void BarcodeGuardsTest::countdownKeepsItsPace()
{
    Kiosk kiosk;
    barcodescreen->stepMs = 100;
    barcodescreen->reportPauseMs = 0;
    kiosk.open();
    kiosk.read("900020");
    TextRecorder line(barcodescreen->Label1);
    QElapsedTimer clock;
    clock.start();
    kiosk.touchBucket();
    const qint64 took = clock.elapsed();
    line.sample();
    QStringList expected{"Place bucket under dispenser. "};
    for (int n = 20; n >= 0; --n)
        expected << QStringLiteral("Dispensing: %1").arg(n);
    QCOMPARE(seq(line.texts), seq(expected));
    QVERIFY2(took >= 2100 && took <= 3000, qPrintable(QString::number(took)));
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 1);
}

QTEST_MAIN(BarcodeGuardsTest)
#include "barcodeguards_test.moc"
