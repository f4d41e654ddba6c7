// The members card screen end to end, from opening to the offers: the real windows,
// offscreen, against the simulated management server.

#include "rfidkiosk.h"
#include "support/shownpicture.h"

#include "platform/errors.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>

using namespace rfidtest;

class RfidScreenTest : public QObject
{
    Q_OBJECT

private slots:
    void layoutHasEveryControl_data();
    void layoutHasEveryControl();
    void picturesWaitForTheFirstShowing();
    void openingResetsTheScreenAndActivatesOnce();
    void acceptedReadShowsBalanceAndOffers_data();
    void acceptedReadShowsBalanceAndOffers();
    void readsAreCollectedTrimmedAndValidated();
    void refusalShowsTheServerTextWithBlanks();
    void linkRefusalShowsAPlainText_data();
    void linkRefusalShowsAPlainText();
    void readWhileTheLinkIsBusyIsAskedForAgain();
    void linkFailureStaysOnTheScreen_data();
    void linkFailureStaysOnTheScreen();
    void onlyAnAcceptedReadRestartsTheTimeout();
    void timeoutAndReturnLeaveTheScreen();
    void reactivationResetsCaptionsAndChoices();
    void charactersWithoutEnterAreDroppedOnOpening();
    void failedReadAfterAcceptedOneWithdrawsTheOffers_data();
    void failedReadAfterAcceptedOneWithdrawsTheOffers();
    void unconvertibleAmountLeavesTheHandler();
    void readDuringValidationIsIgnored();
    void timeoutRestartedOnAHiddenScreenStaysQuiet();
};

void RfidScreenTest::layoutHasEveryControl_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry"); // size 0: sized to its text
    QTest::addColumn<int>("pixelSize");  // 0: no font of its own
    QTest::addColumn<bool>("bold");
    QTest::addColumn<QString>("text");

    auto row = [](const char *name, QRect geometry, int pixelSize, bool bold, QString text) {
        QTest::newRow(name) << QString(name) << geometry << pixelSize << bold << text;
    };
    row("bg", {0, 0, 1024, 768}, 0, false, "");
    row("stext", {408, 222, 0, 0}, 40, true, "...");
    row("mtext", {504, 386, 0, 0}, 40, true, "...");
    row("ltext", {638, 562, 0, 0}, 40, true, "...");
    row("Label5", {716, 87, 0, 0}, 29, true, "Balance:");
    row("Label3", {637, 45, 0, 0}, 29, true, "Account Type:");
    row("Label6", {622, 3, 0, 0}, 29, true, "Membership ID:");
    row("lblAccountType", {858, 45, 0, 0}, 29, true, "waiting...");
    row("lblAccountBalance", {858, 87, 0, 0}, 29, true, "waiting...");
    row("Label4", {176, 82, 0, 0}, 35, true, "Welcome");
    row("imgreturn", {8, 8, 105, 115}, 0, false, "");
    row("label1", {176, 129, 0, 0}, 27, false, "Please insert membership card and then remove");
    row("nam", {309, 333, 160, 191}, 0, false, "");
    row("nas", {214, 182, 127, 157}, 0, false, "");
    row("imgsmallbucket", {214, 198, 122, 141}, 0, false, "");
    row("imgmediumbucket", {309, 345, 160, 168}, 0, false, "");
    row("nal", {437, 507, 195, 239}, 0, false, "");
    row("imglargebucket", {436, 519, 196, 225}, 0, false, "");
    row("Label2", {1104, 984, 0, 0}, 11, false, "Server Link IP:");
    row("Label7", {1094, 1003, 0, 0}, 11, false, "Server Link Port:");
    row("edcardno", {858, 1, 261, 38}, 29, true, "waiting...");
}

void RfidScreenTest::layoutHasEveryControl()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(QString, text);

    Kiosk kiosk;
    QCOMPARE(rfidscreen->windowTitle(), QStringLiteral("Orvanta"));
    QVERIFY(rfidscreen->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!rfidscreen->isVisible());
    QVERIFY(!rfidscreen->timeout->isActive());
    QCOMPARE(rfidscreen->timeout->interval(), 30000);
    QCOMPARE(rfidscreen->Label8->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(rfidscreen->Label9->text(), QString::number(kiosk.sim.port()));

    auto *control = rfidscreen->findChild<QWidget *>(name);
    QVERIFY(control);
    control->ensurePolished(); // the layout's fonts come with the style, at polishing
    QCOMPARE(control->pos(), geometry.topLeft());
    if (!geometry.size().isEmpty())
        QCOMPARE(control->size(), geometry.size());
    if (pixelSize) {
        QCOMPARE(control->font().pixelSize(), pixelSize);
        QCOMPARE(control->font().bold(), bold);
    }
    if (auto *label = qobject_cast<QLabel *>(control)) {
        QCOMPARE(label->text(), text);
        if (!text.isEmpty()) { // fitted to its text, not cut, once the screen is shown
            rfidscreen->show();
            QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(text));
        }
    }
    if (auto *edit = qobject_cast<QLineEdit *>(control)) {
        QCOMPARE(edit->text(), text);
        QVERIFY(!edit->hasFrame());
    }
    // Only the entry box takes the keyboard focus.
    QCOMPARE(control->focusPolicy() != Qt::NoFocus, name == "edcardno");
}

void RfidScreenTest::picturesWaitForTheFirstShowing()
{
    Kiosk kiosk;
    const QList<std::pair<QLabel *, QString>> pictures = {
        {rfidscreen->bg, ":/pictures/card_background.jpg"},
        {rfidscreen->nas, ":/pictures/bucket_small.jpg"},
        {rfidscreen->nam, ":/pictures/bucket_medium.jpg"},
        {rfidscreen->nal, ":/pictures/bucket_large.jpg"}};
    for (const auto &[label, path] : pictures) {
        QCOMPARE(label->property("picture").toString(), path);
        QVERIFY(!pictureReady(label));
    }
    kiosk.open();
    for (const auto &[label, path] : pictures) {
        QTRY_VERIFY(pictureReady(label));
        QCOMPARE(label->grab().toImage().convertToFormat(QImage::Format_RGB32),
                 QImage(path).convertToFormat(QImage::Format_RGB32));
    }
}

void RfidScreenTest::openingResetsTheScreenAndActivatesOnce()
{
    Kiosk kiosk;
    rfidscreen->Label4->setText("stale");
    rfidscreen->stext->setText("stale");
    rfidscreen->choices = 3;
    kiosk.open();

    // Showing and activation both ran inside the call.
    QVERIFY(rfidscreen->isVisible());
    QVERIFY(!mainscreen->isVisible());
    QVERIFY(rfidscreen->windowState() & Qt::WindowMaximized);
    QCOMPARE(rfidscreen->choices, 0);
    QCOMPARE(rfidscreen->label1->text(),
             QStringLiteral("Please insert membership card and then remove"));
    QCOMPARE(rfidscreen->lblAccountType->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->lblAccountBalance->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->edcardno->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->edcardno->selectedText(), QStringLiteral("waiting..."));
    for (QLabel *caption : {rfidscreen->stext, rfidscreen->mtext, rfidscreen->ltext})
        QCOMPARE(caption->text(), QStringLiteral("waiting...."));
    QCOMPARE(offered(), QString());
    QCOMPARE(enabledAreas(), QString());
    QVERIFY(rfidscreen->imgreturn->isEnabled());
    QVERIFY(rfidscreen->timeout->isActive());

    // A read right away; the window system's late report of the same activation must not
    // take its offers away again.
    Kiosk::read("12345678");
    QCOMPARE(rfidscreen->choices, 3);
    QTest::qWait(100);
    QCOMPARE(rfidscreen->choices, 3);
    QCOMPARE(offered(), QStringLiteral("sml"));
}

void RfidScreenTest::acceptedReadShowsBalanceAndOffers_data()
{
    QTest::addColumn<QString>("card");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QString>("balance");
    QTest::addColumn<int>("choices");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("stext");

    QTest::newRow("all three") << "12345678" << QChar('.') << "250" << 3 << "sml"
                               << caption(5, "20.00");
    QTest::newRow("small and medium")
        << "22223333" << QChar('.') << "40" << 2 << "sm" << caption(5, "20.00");
    QTest::newRow("small") << "55556666" << QChar('.') << "27.5" << 1 << "s" << caption(5, "20.00");
    QTest::newRow("partial small")
        << "33334444" << QChar('.') << "10" << 1 << "s" << caption(3, "10.00");
    QTest::newRow("none") << "44445555" << QChar('.') << "0" << 0 << "" << caption(5, "20.00");
    QTest::newRow("comma separator")
        << "55556666" << QChar(',') << "27,5" << 1 << "s" << caption(5, "20.00").replace('.', ',');
}

void RfidScreenTest::acceptedReadShowsBalanceAndOffers()
{
    QFETCH(QString, card);
    QFETCH(QChar, separator);
    QFETCH(QString, balance);
    QFETCH(int, choices);
    QFETCH(QString, shown);
    QFETCH(QString, stext);

    Kiosk kiosk(separator);
    kiosk.open();
    MessageWatch watch;
    Kiosk::read(card);
    watch.sample();

    QCOMPARE(watch.texts, (QStringList{"Please insert membership card and then remove",
                                       "Please wait", "Place bucket under dispenser. "}));
    QCOMPARE(rfidscreen->lblAccountType->text(), QStringLiteral("Cash "));
    QCOMPARE(rfidscreen->lblAccountBalance->text(), balance);
    QCOMPARE(rfidscreen->edcardno->text(), card);
    QCOMPARE(rfidscreen->cardno, card);
    QCOMPARE(rfidscreen->bc, QString());
    QCOMPARE(rfidscreen->choices, choices);
    QCOMPARE(offered(), shown);
    QCOMPARE(enabledAreas(), shown);
    QCOMPARE(rfidscreen->stext->text(), stext);
    QString mtext = caption(8, "35.00"), ltext = caption(12, "50.00");
    if (separator == ',') {
        mtext.replace('.', ',');
        ltext.replace('.', ',');
    }
    QCOMPARE(rfidscreen->mtext->text(), mtext);
    QCOMPARE(rfidscreen->ltext->text(), ltext);

    const QList<SimRequest> validations = kiosk.requests("ValidateRangeId");
    QCOMPARE(validations.size(), 1);
    QCOMPARE(validations[0].reference, card);
    QCOMPARE(validations[0].rangeType, QStringLiteral("C"));
}

void RfidScreenTest::readsAreCollectedTrimmedAndValidated()
{
    Kiosk kiosk;
    kiosk.open();
    // The first character replaces the selected "waiting...".
    Kiosk::type(QChar(2));
    QTest::keyClicks(rfidscreen->edcardno, " 1234");
    QCOMPARE(rfidscreen->edcardno->text(), QStringLiteral(" 1234")); // the box shows no controls
    QTest::keyClicks(rfidscreen->edcardno, "5678 ");
    Kiosk::type(QChar(3));
    QCOMPARE(rfidscreen->bc, QString(QChar(2)) + " 12345678 " + QChar(3));
    QString shown;
    MessageWatch watch([&](const QString &text) {
        if (text == "Please wait")
            shown = rfidscreen->edcardno->text();
    });
    Kiosk::type(QChar(13));
    QCOMPARE(shown, QStringLiteral("12345678"));
    QCOMPARE(kiosk.requests("ValidateRangeId").value(0).reference, QStringLiteral("12345678"));
    QCOMPARE(rfidscreen->choices, 3);

    // Enter alone validates an empty card number, which the server refuses.
    kiosk.sim.clearRequests();
    QTest::keyClick(rfidscreen->edcardno, Qt::Key_Return);
    QCOMPARE(kiosk.requests("ValidateRangeId").size(), 1);
    QCOMPARE(kiosk.requests("ValidateRangeId")[0].reference, QString());
    QCOMPARE(rfidscreen->label1->text(), QStringLiteral("Card not valid"));
}

void RfidScreenTest::refusalShowsTheServerTextWithBlanks()
{
    Kiosk kiosk;
    kiosk.open();
    QTest::keyClicks(rfidscreen->edcardno, "F-refused");
    MessageWatch watch;
    QTest::keyClick(rfidscreen->edcardno, Qt::Key_Return);
    watch.sample();

    QCOMPARE(watch.texts, (QStringList{"Please insert membership card and then remove",
                                       "Please wait", "Card blocked by staff"}));
    QCOMPARE(rfidscreen->edcardno->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->edcardno->selectedText(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->cardno, QString());
    QCOMPARE(rfidscreen->bc, QString());
    QCOMPARE(rfidscreen->lblAccountType->text(), QStringLiteral("waiting..."));
    QVERIFY(rfidscreen->isVisible());

    // The next read starts from nothing.
    Kiosk::read("55556666");
    QCOMPARE(rfidscreen->cardno, QStringLiteral("55556666"));
    QCOMPARE(rfidscreen->choices, 1);
}

// A card number the link itself will not send showed the link's technical words
// ("Reference holds a blank or control character") to the member; the member sees a plain
// refusal, the technician the reason in the link test window, and IPerror keeps the
// server's last reason for nobody to show by mistake.
void RfidScreenTest::linkRefusalShowsAPlainText_data()
{
    QTest::addColumn<QString>("card");
    QTest::addColumn<QString>("reason");
    QTest::newRow("blank inside") << "1234 5678"
                                  << "blank";
    QTest::newRow("request syntax") << "1234&RangeOK=1"
                                    << "request syntax";
    // 160 characters fit a validation but not the card usage report that would follow.
    QTest::newRow("too long for its usage report") << QString(160, '7') << "usage report";
}

void RfidScreenTest::linkRefusalShowsAPlainText()
{
    QFETCH(QString, card);
    QFETCH(QString, reason);
    Kiosk kiosk;
    kiosk.open();
    IPsend->IPerror = QStringLiteral("Earlier+reason");
    Kiosk::read(card);
    QCOMPARE(rfidscreen->label1->text(), QStringLiteral("Card not valid"));
    QCOMPARE(rfidscreen->edcardno->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->choices, 0);
    QCOMPARE(IPsend->IPerror, QStringLiteral("Earlier+reason"));
    QVERIFY2(IPsend->linkRefusal.contains(reason), qPrintable(IPsend->linkRefusal));
    QVERIFY(IPsend->SendStatus->text().contains(IPsend->linkRefusal));
    QCOMPARE(kiosk.requests("ValidateRangeId").size(), 0);
}

// A read that reaches the screen while another exchange runs is refused by the busy link;
// it must not show whatever reason IPerror still holds, and the card may be read again.
void RfidScreenTest::readWhileTheLinkIsBusyIsAskedForAgain()
{
    Kiosk kiosk;
    kiosk.open();
    IPsend->IPerror = QStringLiteral("Card+blocked+by+staff");
    QString shown;
    QTimer::singleShot(0, rfidscreen, [&] {
        Kiosk::read("12345678");
        shown = rfidscreen->label1->text();
    });
    QCOMPARE(IPsend->sendinput(QStringLiteral("55556666"), QStringLiteral("C")), 1);
    QCOMPARE(shown, QStringLiteral("Please insert membership card and then remove"));
    QCOMPARE(rfidscreen->edcardno->text(), QStringLiteral("waiting..."));
    QCOMPARE(kiosk.requests("ValidateRangeId").size(), 1); // the running one only
    Kiosk::read("12345678");
    QCOMPARE(rfidscreen->choices, 3);
}

void RfidScreenTest::linkFailureStaysOnTheScreen_data()
{
    QTest::addColumn<QString>("card");
    QTest::newRow("connection closed") << "F-close";
    QTest::newRow("reply carrying 9") << "F-nine";
}

void RfidScreenTest::linkFailureStaysOnTheScreen()
{
    QFETCH(QString, card);
    Kiosk kiosk;
    rfidscreen->linkErrorPauseMs = 300;
    kiosk.open();

    // The message shows (is pumped) before the pause starts.
    QElapsedTimer sinceMessage;
    MessageWatch watch([&](const QString &text) {
        if (text == "Bad Link To Server - Call for Support")
            sinceMessage.start();
    });
    Kiosk::read(card);
    const qint64 paused = sinceMessage.elapsed();
    watch.sample();

    QCOMPARE(watch.texts, (QStringList{"Please insert membership card and then remove",
                                       "Please wait", "Bad Link To Server - Call for Support"}));
    QVERIFY2(paused >= 290, qPrintable(QString::number(paused)));
    QVERIFY(rfidscreen->isVisible());
    QVERIFY(!mainscreen->isVisible());
    QCOMPARE(rfidscreen->edcardno->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->cardno, QString());
    QCOMPARE(rfidscreen->bc, QString());

    // The card may be presented again.
    Kiosk::read("12345678");
    QCOMPARE(rfidscreen->choices, 3);
}

void RfidScreenTest::onlyAnAcceptedReadRestartsTheTimeout()
{
    Kiosk kiosk;
    rfidscreen->timeout->setInterval(1500);
    kiosk.open();
    QTest::qWait(600);
    Kiosk::read("F-refused");
    QVERIFY(rfidscreen->timeout->remainingTime() < 1000);
    Kiosk::read("F-close");
    QVERIFY(rfidscreen->timeout->remainingTime() < 1000);
    Kiosk::read("12345678");
    QVERIFY(rfidscreen->timeout->remainingTime() > 1200);

    // A second accepted read gives a full interval again, and the screen leaves by itself
    // one interval after the last acceptance.
    QTest::qWait(600);
    Kiosk::read("22223333");
    QVERIFY(rfidscreen->timeout->remainingTime() > 1200);
    QTest::qWait(1000);
    QVERIFY(rfidscreen->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!rfidscreen->isVisible(), 2000);
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!rfidscreen->timeout->isActive());
}

void RfidScreenTest::timeoutAndReturnLeaveTheScreen()
{
    Kiosk kiosk;
    kiosk.open();
    Kiosk::read("12345678");
    QTest::mouseClick(rfidscreen->imgreturn, Qt::LeftButton);
    QVERIFY(!rfidscreen->isVisible());
    QVERIFY(mainscreen->isVisible());
    QVERIFY(!rfidscreen->timeout->isActive());
    // What the screen showed stays until the next opening.
    QCOMPARE(rfidscreen->cardno, QStringLiteral("12345678"));

    rfidscreen->timeout->setInterval(200);
    kiosk.open();
    QCOMPARE(offered(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!rfidscreen->isVisible(), 2000);
    QVERIFY(mainscreen->isVisible());
    QVERIFY(kiosk.requests("SetRangeUsage").isEmpty());
}

void RfidScreenTest::reactivationResetsCaptionsAndChoices()
{
    Kiosk kiosk;
    kiosk.open();
    QTest::qWait(50);
    Kiosk::read("12345678");
    QCOMPARE(rfidscreen->choices, 3);
    const int remaining = rfidscreen->timeout->remainingTime();

    // Another window of the program takes the activation, then the screen gets it back.
    QWidget dialog;
    dialog.show();
    dialog.activateWindow();
    QTRY_VERIFY(QApplication::activeWindow() == &dialog);
    dialog.hide();
    rfidscreen->activateWindow();
    QTRY_COMPARE(rfidscreen->choices, 0);

    for (QLabel *caption : {rfidscreen->stext, rfidscreen->mtext, rfidscreen->ltext})
        QCOMPARE(caption->text(), QStringLiteral("waiting...."));
    QCOMPARE(rfidscreen->lblAccountBalance->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->lblAccountType->text(), QStringLiteral("waiting..."));
    // The running timeout goes on rather than starting again.
    QVERIFY(rfidscreen->timeout->isActive());
    QVERIFY(rfidscreen->timeout->remainingTime() <= remaining);

    // The offers still on screen no longer dispense.
    QVERIFY(rfidscreen->nal->isVisible());
    QTest::mouseClick(rfidscreen->imglargebucket, Qt::LeftButton);
    QTest::mouseClick(rfidscreen->imgsmallbucket, Qt::LeftButton);
    QVERIFY(rfidscreen->isVisible());
    QVERIFY(kiosk.requests("SetRangeUsage").isEmpty());
}

void RfidScreenTest::charactersWithoutEnterAreDroppedOnOpening()
{
    Kiosk kiosk;
    kiosk.open();
    QTest::keyClicks(rfidscreen->edcardno, "999");
    rfidscreen->imgreturnClick();
    kiosk.open();
    QCOMPARE(rfidscreen->bc, QString());
    Kiosk::read("12345678");
    QCOMPARE(kiosk.requests("ValidateRangeId").value(0).reference, QStringLiteral("12345678"));

    // Reactivation without hiding keeps them: only an opening belongs to a new customer.
    QTest::keyClicks(rfidscreen->edcardno, "77");
    rfidscreen->FormActivate();
    QCOMPARE(rfidscreen->bc, QStringLiteral("77"));
}

void RfidScreenTest::failedReadAfterAcceptedOneWithdrawsTheOffers_data()
{
    QTest::addColumn<QString>("card");
    QTest::newRow("refused") << "F-refused";
    QTest::newRow("no reply") << "F-close";
}

void RfidScreenTest::failedReadAfterAcceptedOneWithdrawsTheOffers()
{
    QFETCH(QString, card);
    Kiosk kiosk;
    kiosk.open();
    Kiosk::read("12345678");
    QCOMPARE(offered(), QStringLiteral("sml"));
    Kiosk::read(card);

    QCOMPARE(rfidscreen->choices, 0);
    QCOMPARE(offered(), QString());
    QCOMPARE(enabledAreas(), QString());
    for (auto handler : {&Trfidscreen::imgsmallbucketClick, &Trfidscreen::imgmediumbucketClick,
                         &Trfidscreen::imglargebucketClick})
        (rfidscreen->*handler)();
    QVERIFY(rfidscreen->isVisible());
    QVERIFY(kiosk.requests("SetRangeUsage").isEmpty());
}

void RfidScreenTest::unconvertibleAmountLeavesTheHandler()
{
    Kiosk kiosk;
    kiosk.open();
    Kiosk::read("12345678");
    QCOMPARE(rfidscreen->choices, 3);

    QTest::keyClicks(rfidscreen->edcardno, "F-huge");
    QVERIFY_THROWS_EXCEPTION(ConversionError, rfidscreen->edcardnoKeyPress(QChar(13)));
    // No offer of the earlier card is left to be reported under this read's number, and
    // the screen takes the next read.
    QCOMPARE(rfidscreen->choices, 0);
    QCOMPARE(offered(), QString());
    QCOMPARE(enabledAreas(), QString());
    QCOMPARE(rfidscreen->bc, QString());
    Kiosk::read("22223333");
    QCOMPARE(rfidscreen->cardno, QStringLiteral("22223333"));
    QCOMPARE(rfidscreen->choices, 2);
}

void RfidScreenTest::readDuringValidationIsIgnored()
{
    Kiosk kiosk;
    kiosk.open();
    // A second card arrives at the pump after "Please wait", while the first is validated.
    bool typed = false;
    MessageWatch watch([&](const QString &text) {
        if (text == "Please wait" && !typed) {
            typed = true;
            Kiosk::read("22223333");
        }
    });
    Kiosk::read("12345678");
    QVERIFY(typed);

    QCOMPARE(kiosk.requests("ValidateRangeId").size(), 1);
    QCOMPARE(rfidscreen->cardno, QStringLiteral("12345678"));
    QCOMPARE(rfidscreen->edcardno->text(), QStringLiteral("12345678"));
    QCOMPARE(rfidscreen->bc, QString());
    QCOMPARE(rfidscreen->choices, 3);
}

void RfidScreenTest::timeoutRestartedOnAHiddenScreenStaysQuiet()
{
    Kiosk kiosk;
    rfidscreen->timeout->setInterval(100);
    kiosk.open();
    // The timeout falls due while the server takes its time, and runs at the link's pump.
    Kiosk::read("F-delay");
    QVERIFY(!rfidscreen->isVisible());
    QVERIFY(mainscreen->isVisible());

    // The customer has gone on to the voucher screen when the restarted timeout ticks.
    mainscreen->hide();
    QTest::qWait(400);
    QVERIFY(!mainscreen->isVisible());
    QVERIFY(!rfidscreen->isVisible());
    QVERIFY(!rfidscreen->timeout->isActive());
}

QTEST_MAIN(RfidScreenTest)
#include "rfidscreen_test.moc"
