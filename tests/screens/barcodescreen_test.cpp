// The barcode voucher screen end to end: the real windows, offscreen, against the simulated
// management server.

#include "barcodekiosk.h"
#include "support/shownpicture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFont>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>

using namespace barcodetest;

class BarcodeScreenTest : public QObject
{
    Q_OBJECT

private slots:
    void layoutHasEveryControl_data();
    void layoutHasEveryControl();
    void openingResetsTheScreen();
    void acceptedVoucherRunsTheWholeRoad();
    void failuresReturnToTheMainScreen_data();
    void failuresReturnToTheMainScreen();
    void readsAreCollectedTrimmedAndJoined();
    void enterAloneValidatesAnEmptyNumber();
    void smallAndNegativeCounts_data();
    void smallAndNegativeCounts();
    void returnAreasLeaveTheScreen_data();
    void returnAreasLeaveTheScreen();
    void regainedActivationWithdrawsTheOffer();
    void platformActivationAfterShowingKeepsARead();
};

void BarcodeScreenTest::layoutHasEveryControl_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry"); // size 0: sized to its text
    QTest::addColumn<int>("pixelSize");  // 0: no font of its own
    QTest::addColumn<bool>("bold");
    QTest::addColumn<QString>("text");

    QTest::newRow("bg") << "bg" << QRect(0, 0, 1024, 768) << 0 << false << "";
    QTest::newRow("nas") << "nas" << QRect(220, 182, 127, 157) << 0 << false << "";
    QTest::newRow("Label1") << "Label1" << QRect(220, 128, 0, 0) << 16 << false << instruction;
    QTest::newRow("Label2") << "Label2" << QRect(216, 66, 0, 0) << 48 << true << "Welcome";
    QTest::newRow("sbtext") << "sbtext" << QRect(407, 211, 0, 0) << 40 << true << "...";
    QTest::newRow("imgreturn") << "imgreturn" << QRect(8, 8, 113, 114) << 0 << false << "";
    QTest::newRow("Image1") << "Image1" << QRect(32, 899, 105, 105) << 0 << false << "";
    QTest::newRow("Label5") << "Label5" << QRect(741, 655, 0, 0) << 29 << true << "Balance:";
    QTest::newRow("Label3") << "Label3" << QRect(741, 689, 0, 0) << 29 << true << "Barcode:";
    QTest::newRow("lblAccountBalance")
        << "lblAccountBalance" << QRect(876, 655, 0, 0) << 29 << true << "waiting...";
    QTest::newRow("Label4") << "Label4" << QRect(1104, 984, 0, 0) << 11 << false
                            << "Server Link IP:";
    QTest::newRow("Label7") << "Label7" << QRect(1094, 1003, 0, 0) << 11 << false
                            << "Server Link Port:";
    QTest::newRow("edbarcode") << "edbarcode" << QRect(876, 686, 208, 50) << 29 << true
                               << "waiting...";
}

void BarcodeScreenTest::layoutHasEveryControl()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(QString, text);

    Kiosk kiosk;
    QCOMPARE(barcodescreen->windowTitle(), QStringLiteral("Orvanta"));
    QVERIFY(barcodescreen->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(barcodescreen->windowState() & Qt::WindowMaximized);
    QVERIFY(!barcodescreen->isVisible());
    QVERIFY(!barcodescreen->timeout->isActive());
    QCOMPARE(barcodescreen->timeout->interval(), 30000);

    auto *control = barcodescreen->findChild<QWidget *>(name);
    QVERIFY(control);
    control->ensurePolished();
    QCOMPARE(control->pos(), geometry.topLeft());
    if (!geometry.size().isEmpty())
        QCOMPARE(control->size(), geometry.size());
    if (pixelSize) {
        QCOMPARE(control->font().pixelSize(), pixelSize);
        QCOMPARE(control->font().bold(), bold);
        QCOMPARE(control->font().family(),
                 pixelSize == 11 ? QStringLiteral("Tahoma") : QStringLiteral("Century Gothic"));
    }
    if (auto *label = qobject_cast<QLabel *>(control)) {
        QCOMPARE(label->text(), text);
        const QString picture = name == "bg" ? QStringLiteral(":/pictures/barcode_background.jpg")
                                : name == "nas" ? QStringLiteral(":/pictures/bucket_small.jpg")
                                                : QString();
        QCOMPARE(label->property("picture").toString(), picture);
        if (!picture.isEmpty() && QFile::exists(picture)) {
            // Decoded when the screen is first shown, not while it waits hidden.
            QVERIFY(!pictureReady(label));
            barcodescreen->show();
            QTRY_VERIFY(pictureReady(label));
            // Drawn whole, pixel for pixel.
            QCOMPARE(label->grab().toImage().convertToFormat(QImage::Format_RGB32),
                     QImage(picture).convertToFormat(QImage::Format_RGB32));
        }
    }
    if (auto *edit = qobject_cast<QLineEdit *>(control)) {
        QCOMPARE(edit->text(), text);
        QVERIFY(!edit->hasFrame());
    }
    // Only the entry box can take the keyboard focus.
    QCOMPARE(control->focusPolicy() != Qt::NoFocus, name == "edbarcode");
    if (geometry.size().isEmpty()) {
        // A caption is fitted to its text when the screen is first shown.
        barcodescreen->show();
        QCOMPARE(control->size(), control->sizeHint());
    }
    // The entry box lies over everything but the balance above it, which is drawn over the
    // box's blank top margin so that its descenders show (wholetexts_test).
    const QObjectList stacked = barcodescreen->children();
    QCOMPARE(stacked.last(), barcodescreen->lblAccountBalance);
    QCOMPARE(stacked.at(stacked.size() - 2), barcodescreen->edbarcode);
}

void BarcodeScreenTest::openingResetsTheScreen()
{
    Kiosk kiosk;
    // Leftovers of an earlier customer.
    barcodescreen->Label1->setText("Voucher not valid");
    barcodescreen->lblAccountBalance->setText("40");
    barcodescreen->sbtext->setText("40 balls ");
    barcodescreen->nas->show();
    barcodescreen->choices = 1;
    barcodescreen->bc = "900040";
    barcodescreen->barcode = "900040";

    kiosk.open();
    QVERIFY(barcodescreen->isVisible());
    QVERIFY(!mainscreen->isVisible());
    QCOMPARE(barcodescreen->Label2->text(), QStringLiteral("Welcome To Orvanta"));
    QCOMPARE(barcodescreen->Label1->text(), instruction);
    QCOMPARE(barcodescreen->lblAccountBalance->text(), QStringLiteral("waiting..."));
    QCOMPARE(barcodescreen->sbtext->text(), QString());
    QVERIFY(barcodescreen->nas->isHidden());
    QCOMPARE(barcodescreen->choices, 0);
    QCOMPARE(barcodescreen->bc, QString());
    QCOMPARE(barcodescreen->barcode, QString());
    QCOMPARE(barcodescreen->edbarcode->text(), QStringLiteral("waiting..."));
    QCOMPARE(barcodescreen->edbarcode->selectedText(), QStringLiteral("waiting..."));
    QCOMPARE(barcodescreen->focusWidget(), barcodescreen->edbarcode);
    QVERIFY(barcodescreen->timeout->isActive());
    QVERIFY(barcodescreen->imgreturn->isEnabled());
    QVERIFY(barcodescreen->windowState() & Qt::WindowMaximized);

    // The reader's first character replaces the selected text.
    QTest::keyClicks(barcodescreen->edbarcode, "90");
    QCOMPARE(barcodescreen->edbarcode->text(), QStringLiteral("90"));
    QCOMPARE(barcodescreen->bc, QStringLiteral("90"));
}

void BarcodeScreenTest::acceptedVoucherRunsTheWholeRoad()
{
    Kiosk kiosk;
    kiosk.open();
    TextRecorder line(barcodescreen->Label1);
    kiosk.read("900003");
    line.sample();
    QCOMPARE(seq(line.texts),
             seq(QStringList({instruction, "Please wait", "Place bucket under dispenser. "})));
    QCOMPARE(barcodescreen->sbtext->text(), QStringLiteral("3 balls "));
    QCOMPARE(barcodescreen->lblAccountBalance->text(), QStringLiteral("3"));
    QCOMPARE(barcodescreen->edbarcode->text(), QStringLiteral("900003"));
    QVERIFY(barcodescreen->nas->isVisible());
    QCOMPARE(barcodescreen->choices, 1);
    QCOMPARE(barcodescreen->barcode, QStringLiteral("900003"));
    QCOMPARE(barcodescreen->bc, QStringLiteral("900003")); // Enter does not clear it
    QVERIFY(barcodescreen->timeout->isActive());
    const QList<SimRequest> validations = kiosk.requests("ValidateRangeId");
    QCOMPARE(validations.size(), 1);
    QCOMPARE(validations[0].rangeType, QStringLiteral("P"));
    QCOMPARE(validations[0].reference, QStringLiteral("900003"));

    line.texts.clear();
    line.sample();
    kiosk.touchBucket();
    line.sample();
    QCOMPARE(seq(line.texts),
             seq(QStringList({"Place bucket under dispenser. ", "Dispensing: 3", "Dispensing: 2",
                              "Dispensing: 1", "Dispensing: 0"})));
    const QList<SimRequest> reports = kiosk.requests("SetRangeUsage");
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports[0].rangeType, QStringLiteral("P"));
    QCOMPARE(reports[0].reference, QStringLiteral("900003"));
    QCOMPARE(reports[0].date, validations[0].date);
    QCOMPARE(reports[0].time, validations[0].time);
    QVERIFY(!reports[0].date.isEmpty());

    // Back on the main screen, with the screen's way out cleared up behind it.
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!barcodescreen->isVisible());
    QVERIFY(!barcodescreen->timeout->isActive());
    QVERIFY(barcodescreen->imgreturn->isEnabled());
    QVERIFY(barcodescreen->Image1->isEnabled());
    QCOMPARE(barcodescreen->Label1->text(), QStringLiteral("Dispensing: 0"));
    QVERIFY(kiosk.sim.state().value("vouchers").toArray().at(0).toObject().value("used").toBool());
}

void BarcodeScreenTest::failuresReturnToTheMainScreen_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("requests"); // validations that reach the server

    QTest::newRow("unknown voucher") << "123456"
                                     << "Voucher not valid" << 1;
    QTest::newRow("used voucher") << "900099"
                                  << "Voucher not valid" << 1;
    QTest::newRow("refusal with a reason") << "F-refused"
                                           << "Voucher not valid" << 1;
    QTest::newRow("reference the link refuses") << "90&RangeOK=1"
                                                << "Voucher not valid" << 0;
    QTest::newRow("closed without reply") << "F-close"
                                          << "Bad Link To Server - Call for Support" << 1;
    QTest::newRow("reply carrying 9") << "F-nine"
                                      << "Bad Link To Server - Call for Support" << 1;
}

void BarcodeScreenTest::failuresReturnToTheMainScreen()
{
    QFETCH(QString, number);
    QFETCH(QString, message);
    QFETCH(int, requests);

    Kiosk kiosk;
    barcodescreen->failurePauseMs = 300;
    kiosk.open();
    TextRecorder line(barcodescreen->Label1);
    QElapsedTimer clock;
    qint64 shownAt = -1;
    // The pause starts once the message has been pumped; the screen stays up through it.
    TextRecorder watch(barcodescreen->Label1, [&](const QString &text) {
        if (text == message)
            shownAt = clock.elapsed();
    });
    clock.start();
    kiosk.read(number);
    const qint64 returnedAt = clock.elapsed();
    line.sample();

    QCOMPARE(seq(line.texts), seq(QStringList({instruction, "Please wait", message})));
    QVERIFY(shownAt >= 0);
    QVERIFY2(returnedAt - shownAt >= 300, qPrintable(QString::number(returnedAt - shownAt)));
    QVERIFY(!barcodescreen->isVisible());
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!barcodescreen->timeout->isActive());
    QVERIFY(barcodescreen->nas->isHidden());
    QCOMPARE(kiosk.requests("ValidateRangeId").size(), requests);
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 0);
    for (QLabel *label : barcodescreen->findChildren<QLabel *>())
        QVERIFY2(!label->text().contains("reason") && !label->text().contains("used"),
                 qPrintable(label->text()));
}

void BarcodeScreenTest::readsAreCollectedTrimmedAndJoined()
{
    Kiosk kiosk;
    kiosk.open();
    // Blanks and control characters around the number are the reader's, not the voucher's.
    QTest::keyClicks(barcodescreen->edbarcode, "  ");
    QTest::keyClick(barcodescreen->edbarcode, Qt::Key_Tab);
    kiosk.read("900040 ");
    QCOMPARE(barcodescreen->bc, QStringLiteral("  \t900040 "));
    QCOMPARE(barcodescreen->barcode, QStringLiteral("900040"));
    QCOMPARE(barcodescreen->edbarcode->text(), QStringLiteral("900040"));
    QCOMPARE(barcodescreen->sbtext->text(), QStringLiteral("40 balls "));

    // A second read while the offer shows joins the first read's characters.
    QTest::mouseClick(barcodescreen->imgreturn, Qt::LeftButton);
    kiosk.open();
    kiosk.read("900040");
    kiosk.read("900003");
    const QList<SimRequest> validations = kiosk.requests("ValidateRangeId");
    QCOMPARE(validations.size(), 3);
    QCOMPARE(validations[2].reference, QStringLiteral("900040900003"));
    QCOMPARE(barcodescreen->barcode, QStringLiteral("900040900003"));
    QCOMPARE(barcodescreen->Label1->text(), QStringLiteral("Voucher not valid"));
    QVERIFY(!barcodescreen->isVisible()); // refused: back to the main screen
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 0);
}

void BarcodeScreenTest::enterAloneValidatesAnEmptyNumber()
{
    Kiosk kiosk;
    kiosk.open();
    QTest::keyClick(barcodescreen->edbarcode, Qt::Key_Return);
    QCOMPARE(kiosk.requests("ValidateRangeId").size(), 1);
    QCOMPARE(kiosk.requests("ValidateRangeId")[0].reference, QString());
    QCOMPARE(barcodescreen->edbarcode->text(), QString());
    QCOMPARE(barcodescreen->Label1->text(), QStringLiteral("Voucher not valid"));
    QVERIFY(mainscreen->isVisible());
}

void BarcodeScreenTest::smallAndNegativeCounts_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("balls");
    QTest::addColumn<QStringList>("countdown");

    QTest::newRow("zero") << "900000"
                          << "0" << QStringList({"Dispensing: 0"});
    QTest::newRow("negative") << "F-minus"
                              << "-2" << QStringList();
}

void BarcodeScreenTest::smallAndNegativeCounts()
{
    QFETCH(QString, number);
    QFETCH(QString, balls);
    QFETCH(QStringList, countdown);

    Kiosk kiosk;
    kiosk.open();
    kiosk.read(number);
    QCOMPARE(barcodescreen->sbtext->text(), balls + " balls ");
    QCOMPARE(barcodescreen->lblAccountBalance->text(), balls);
    TextRecorder line(barcodescreen->Label1);
    kiosk.touchBucket();
    line.sample();
    QCOMPARE(seq(line.texts), seq(QStringList{"Place bucket under dispenser. "} + countdown));
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 1);
    QCOMPARE(kiosk.requests("SetRangeUsage")[0].reference, number);
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!barcodescreen->isVisible());
}

void BarcodeScreenTest::returnAreasLeaveTheScreen_data()
{
    QTest::addColumn<QString>("area");
    QTest::newRow("imgreturn") << "imgreturn";
    QTest::newRow("Image1") << "Image1";
}

void BarcodeScreenTest::returnAreasLeaveTheScreen()
{
    QFETCH(QString, area);
    Kiosk kiosk;
    kiosk.open();
    kiosk.read("900040");
    QVERIFY(barcodescreen->nas->isVisible());
    QTest::mouseClick(barcodescreen->findChild<QWidget *>(area), Qt::LeftButton);
    QVERIFY(!barcodescreen->isVisible());
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!barcodescreen->timeout->isActive());
    QCOMPARE(barcodescreen->barcode, QString());
    QCOMPARE(barcodescreen->bc, QString());
    QCOMPARE(barcodescreen->edbarcode->text(), QStringLiteral("waiting..."));
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 0);

    // The next customer finds the screen as new.
    kiosk.open();
    QVERIFY(barcodescreen->nas->isHidden());
    QCOMPARE(barcodescreen->choices, 0);
    QCOMPARE(barcodescreen->Label1->text(), instruction);
}

void BarcodeScreenTest::regainedActivationWithdrawsTheOffer()
{
    Kiosk kiosk;
    kiosk.open();
    QTRY_VERIFY(barcodescreen->isActiveWindow());
    kiosk.read("900040");
    QCOMPARE(barcodescreen->choices, 1);
    const int left = barcodescreen->timeout->remainingTime();

    // Another window takes the activation for a while, then gives it back.
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    QCOMPARE(barcodescreen->choices, 1); // losing the activation changes nothing
    barcodescreen->activateWindow();
    QTRY_VERIFY(barcodescreen->isActiveWindow());

    QCOMPARE(barcodescreen->choices, 0);
    QVERIFY(barcodescreen->nas->isHidden());
    QCOMPARE(barcodescreen->sbtext->text(), QString());
    QCOMPARE(barcodescreen->bc, QString());
    QCOMPARE(barcodescreen->barcode, QString());
    QCOMPARE(barcodescreen->Label1->text(), instruction);
    QCOMPARE(barcodescreen->edbarcode->text(), QStringLiteral("waiting..."));
    QCOMPARE(barcodescreen->edbarcode->selectedText(), QStringLiteral("waiting..."));
    QCOMPARE(barcodescreen->lblAccountBalance->text(), QStringLiteral("40")); // kept
    // The running timeout goes on rather than starting over.
    QVERIFY(barcodescreen->timeout->isActive());
    QVERIFY(barcodescreen->timeout->remainingTime() <= left);
    // A touch on the withdrawn bucket does nothing.
    barcodescreen->nasClick();
    QCOMPARE(kiosk.requests("SetRangeUsage").size(), 0);
}

void BarcodeScreenTest::platformActivationAfterShowingKeepsARead()
{
    // The platform's activation notice for a showing arrives after the showing itself,
    // possibly once the reader has begun: the opening must not run twice and eat the read.
    Kiosk kiosk;
    for (int round = 0; round < 2; ++round) {
        kiosk.open();
        QTest::keyClicks(barcodescreen->edbarcode, "9000");
        QCoreApplication::processEvents();
        QTRY_VERIFY(barcodescreen->isActiveWindow());
        QCOMPARE(barcodescreen->bc, QStringLiteral("9000"));
        QCOMPARE(barcodescreen->edbarcode->text(), QStringLiteral("9000"));
        // Out and straight in again, with no pass over the event queue between.
        barcodescreen->imgreturnClick();
        QVERIFY(!barcodescreen->isVisible());
    }
    kiosk.open();
    QTest::keyClicks(barcodescreen->edbarcode, "900040");
    QTest::keyClick(barcodescreen->edbarcode, Qt::Key_Return);
    const QList<SimRequest> validations = kiosk.requests("ValidateRangeId");
    QCOMPARE(validations.size(), 1);
    QCOMPARE(validations[0].reference, QStringLiteral("900040"));
    QCOMPARE(barcodescreen->choices, 1);
}

QTEST_MAIN(BarcodeScreenTest)
#include "barcodescreen_test.moc"
