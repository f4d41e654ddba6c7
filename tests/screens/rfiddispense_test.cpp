// The members card screen's dispensing end to end: the bucket clicks with their gates, the
// countdown, the usage report and the return to the main screen, against the simulated
// management server.

#include "rfidkiosk.h"

#include "platform/errors.h"

#include <QElapsedTimer>
#include <QHash>

using namespace rfidtest;

class RfidDispenseTest : public QObject
{
    Q_OBJECT

private slots:
    void eachBucketIsCountedDownAndReported_data();
    void eachBucketIsCountedDownAndReported();
    void countdownStepsArePaced();
    void lowerSecondReadKeepsEarlierAreasFromDispensing_data();
    void lowerSecondReadKeepsEarlierAreasFromDispensing();
    void readDuringCountdownIsIgnored();
    void failedUsageReportStillReturns();
};

void RfidDispenseTest::eachBucketIsCountedDownAndReported_data()
{
    QTest::addColumn<QString>("card");
    QTest::addColumn<int>("bucket"); // 1 small, 2 medium, 3 large
    QTest::addColumn<int>("balls");
    QTest::addColumn<QString>("kept");

    QTest::newRow("small") << "12345678" << 1 << 5 << "s";
    QTest::newRow("medium") << "12345678" << 2 << 8 << "m";
    QTest::newRow("large") << "12345678" << 3 << 12 << "l";
    QTest::newRow("partial small") << "33334444" << 1 << 3 << "s";
}

void RfidDispenseTest::eachBucketIsCountedDownAndReported()
{
    QFETCH(QString, card);
    QFETCH(int, bucket);
    QFETCH(int, balls);
    QFETCH(QString, kept);

    Kiosk kiosk;
    mainscreen->Label5->setText("something else");
    kiosk.open();
    Kiosk::read(card);
    const SimRequest validation = kiosk.requests("ValidateRangeId").value(0);

    // While the countdown runs: only the chosen picture, no click areas, return disabled,
    // no timeout.
    QStringList during;
    MessageWatch watch([&](const QString &text) {
        if (text.startsWith("Dispensing: ") && during.isEmpty())
            during << offered() << QString::number(rfidscreen->imgreturn->isEnabled())
                   << QString::number(rfidscreen->timeout->isActive())
                   << QString::number(rfidscreen->imgsmallbucket->isVisible() ||
                                      rfidscreen->imgmediumbucket->isVisible() ||
                                      rfidscreen->imglargebucket->isVisible());
    });
    ClickArea *areas[] = {rfidscreen->imgsmallbucket, rfidscreen->imgmediumbucket,
                          rfidscreen->imglargebucket};
    QTest::mouseClick(areas[bucket - 1], Qt::LeftButton);
    watch.sample();

    QStringList expected{QStringLiteral("Place bucket under dispenser. ")};
    for (int left = balls; left >= 0; --left)
        expected << QStringLiteral("Dispensing: ") + QString::number(left);
    expected << QStringLiteral("Finished ");
    QCOMPARE(watch.texts, expected);
    QCOMPARE(during, (QStringList{kept, "0", "0", "0"}));
    QCOMPARE(rfidscreen->balls, balls);

    const QList<SimRequest> reports = kiosk.requests("SetRangeUsage");
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports[0].reference, card);
    QCOMPARE(reports[0].rangeType, QStringLiteral("C"));
    QCOMPARE(reports[0].issueGroup, QString::number(bucket));
    QCOMPARE(reports[0].date, validation.date);
    QCOMPARE(reports[0].time, validation.time);

    // Back on the main screen, with everything restored for the next opening; only the
    // small bucket resets the main screen's message.
    QVERIFY(!rfidscreen->isVisible());
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!rfidscreen->timeout->isActive());
    QVERIFY(rfidscreen->imgreturn->isEnabled());
    QCOMPARE(offered(), QStringLiteral("sml"));
    QCOMPARE(mainscreen->Label5->text(), bucket == 1
                                             ? QStringLiteral("Please choose payment method")
                                             : QStringLiteral("something else"));
}

void RfidDispenseTest::countdownStepsArePaced()
{
    Kiosk kiosk;
    rfidscreen->stepMs = 40;
    kiosk.open();
    Kiosk::read("12345678");
    QElapsedTimer countdown;
    qint64 finishedAfter = -1;
    MessageWatch watch([&](const QString &text) {
        if (text == "Dispensing: 5")
            countdown.start();
        if (text == "Finished ")
            finishedAfter = countdown.elapsed();
    });
    rfidscreen->imgsmallbucketClick();
    // Six steps of 40 ms each: 5 down to 0.
    QVERIFY2(finishedAfter >= 6 * 40 - 5, qPrintable(QString::number(finishedAfter)));
    QVERIFY2(finishedAfter < 6 * 40 + 2000, qPrintable(QString::number(finishedAfter)));
}

// A second accepted read on the same showing with a lower balance: the click areas that
// the first, richer card enabled stay enabled, and each bucket's gate on choices keeps it
// from dispensing what is no longer offered.
void RfidDispenseTest::lowerSecondReadKeepsEarlierAreasFromDispensing_data()
{
    QTest::addColumn<QString>("card");
    QTest::addColumn<int>("choices");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("gated"); // areas whose touch must do nothing
    QTest::addColumn<int>("live");      // the largest bucket still offered, 0 none

    QTest::newRow("medium balance: large gated") << "22223333" << 2 << "sm"
                                                 << "l" << 2;
    QTest::newRow("small balance: large and medium gated") << "55556666" << 1 << "s"
                                                           << "lm" << 1;
    QTest::newRow("no balance: every bucket gated") << "44445555" << 0 << ""
                                                    << "lms" << 0;
}

void RfidDispenseTest::lowerSecondReadKeepsEarlierAreasFromDispensing()
{
    QFETCH(QString, card);
    QFETCH(int, choices);
    QFETCH(QString, shown);
    QFETCH(QString, gated);
    QFETCH(int, live);

    Kiosk kiosk;
    kiosk.open();
    Kiosk::read("12345678");
    QCOMPARE(rfidscreen->choices, 3);
    Kiosk::read(card);
    QCOMPARE(rfidscreen->cardno, card);
    QCOMPARE(rfidscreen->choices, choices);
    QCOMPARE(offered(), shown);
    QCOMPARE(enabledAreas(), QStringLiteral("sml"));

    const QHash<QChar, ClickArea *> areas{{'s', rfidscreen->imgsmallbucket},
                                          {'m', rfidscreen->imgmediumbucket},
                                          {'l', rfidscreen->imglargebucket}};
    MessageWatch watch;
    for (const QChar bucket : gated)
        QTest::mouseClick(areas[bucket], Qt::LeftButton);
    watch.sample();
    // No countdown, no report, and the screen still offers what the second card pays for.
    QCOMPARE(barcodetest::seq(watch.texts), QStringLiteral("[Place bucket under dispenser. ]"));
    QVERIFY(rfidscreen->isVisible());
    QCOMPARE(offered(), shown);
    QVERIFY(rfidscreen->timeout->isActive());
    QVERIFY(kiosk.requests("SetRangeUsage").isEmpty());

    if (live == 0)
        return;
    QTest::mouseClick(areas[QStringLiteral("sml").at(live - 1)], Qt::LeftButton);
    const QList<SimRequest> reports = kiosk.requests("SetRangeUsage");
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports[0].reference, card);
    QCOMPARE(reports[0].issueGroup, QString::number(live));
    QVERIFY(!rfidscreen->isVisible());
}

void RfidDispenseTest::readDuringCountdownIsIgnored()
{
    Kiosk kiosk;
    kiosk.open();
    Kiosk::read("12345678");
    bool typed = false;
    MessageWatch watch([&](const QString &text) {
        if (text == "Dispensing: 6" && !typed) {
            typed = true;
            Kiosk::read("22223333");
        }
    });
    QTest::mouseClick(rfidscreen->imglargebucket, Qt::LeftButton);
    QVERIFY(typed);

    QCOMPARE(kiosk.requests("ValidateRangeId").size(), 1);
    const QList<SimRequest> reports = kiosk.requests("SetRangeUsage");
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports[0].reference, QStringLiteral("12345678"));
    QCOMPARE(reports[0].issueGroup, QStringLiteral("3"));
    QCOMPARE(rfidscreen->edcardno->text(), QStringLiteral("12345678"));
    QVERIFY(!rfidscreen->isVisible());
}

void RfidDispenseTest::failedUsageReportStillReturns()
{
    Kiosk kiosk;
    kiosk.open();
    Kiosk::read("12345678");
    // A port that is not a number makes the report's exchange fail with an error.
    IPsend->remoteport = QStringLiteral("no port");
    QVERIFY_THROWS_EXCEPTION(KioskError, rfidscreen->imgmediumbucketClick());

    QCOMPARE(rfidscreen->label1->text(), QStringLiteral("Finished "));
    QVERIFY(!rfidscreen->isVisible());
    QVERIFY(mainscreen->isVisible());
    QVERIFY(rfidscreen->imgreturn->isEnabled());

    // The screen works for the next customer.
    IPsend->remoteport = QString::number(kiosk.sim.port());
    kiosk.open();
    Kiosk::read("22223333");
    QCOMPARE(rfidscreen->choices, 2);
    rfidscreen->imgmediumbucketClick();
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 1);
}

QTEST_MAIN(RfidDispenseTest)
#include "rfiddispense_test.moc"
