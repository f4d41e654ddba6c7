// The link client as the kiosk creates it (the last window of the set, reading the link
// settings file into the customer screens' footers) and as the technicians' link test
// window: its preview, its one-second clock and its Send.

#include "link/ipsend.h"
#include "link/wireformat.h"
#include "platform/decimalseparator.h"
#include "platform/errorreport.h"
#include "platform/errors.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/windowset.h"
#include "support/simfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QByteArray simData = R"({
    "prices": [ {"balls": 30, "price": "20.00"}, {"balls": 60, "price": "35.00"},
                {"balls": 90, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"} ],
    "vouchers": [ {"number": "900001", "balls": 40, "used": false} ],
    "faults": { "F-silent": {"mode": "silent"}, "F-close": {"mode": "close"},
                "F-nul": {"mode": "raw", "body": "RangeOK=1&Number1=3\u00000&"} } })";

// The preview body for the stored defaults at the fixed clock below.
const QString defaultBody = QStringLiteral("Command=ValidateRangeId&RangeType=P&Reference=12345678&"
                                           "Date=09%2F12%2F24&Time=14%3A05%3A30&");

// The test window as start-up creates it, with a clock that stands at 9 December 2024,
// 14:05:30 until a test moves it, so that every tick writes a known time.
struct TestWindow
{
    explicit TestWindow(const QByteArray &settings = "127.0.0.1\n50001\n.\n")
    {
        QFile file(dir.filePath("config.ini"));
        if (!file.open(QIODevice::WriteOnly) || file.write(settings) != settings.size())
            qFatal("cannot write the settings file");
        file.close();
        w.clock = [this] { return now; };
        w.FormCreate(file.fileName());
    }
    // A tick one second later.
    void nextSecond()
    {
        now = now.addSecs(1);
        w.Timer1Timer();
    }

    QTemporaryDir dir;
    QDateTime now{QDate(2024, 12, 9), QTime(14, 5, 30)};
    TIPsend w;
};

} // namespace

class IPsendTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        reported.clear();
        platform::setErrorReporter([this](const QString &m) { reported.append(m); });
    }
    void cleanup()
    {
        platform::setErrorReporter({});
        setDecimalSeparator(QLatin1Char('.'));
    }

    void settingsReachTheFooters()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.ini");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("192.168.10.5\r\n50001\r\n,\r\n");
        file.close();

        WindowSet ws(path);
        QVERIFY(reported.isEmpty());
        QCOMPARE(IPsend->remoteserver, QStringLiteral("192.168.10.5"));
        for (QLabel *label : {barcodescreen->Label8, rfidscreen->Label8})
            QCOMPARE(label->text(), QStringLiteral("192.168.10.5"));
        for (QLabel *label : {barcodescreen->Label9, rfidscreen->Label9})
            QCOMPARE(label->text(), QStringLiteral("50001"));
        QCOMPARE(DecimalSeparator(), QChar(','));
        QVERIFY(IPsend->ClientSocket1.isOpen());
        QVERIFY(!IPsend->isVisible());
    }

    void missingFileIsReportedAndStartUpGoesOn()
    {
        QTemporaryDir dir;
        const QChar before = DecimalSeparator();
        WindowSet ws(dir.filePath("config.ini"));
        QCOMPARE(reported, QStringList{"The specified file was not found"});
        QVERIFY(IPsend);
        QCOMPARE(barcodescreen->Label8->text(), QString());
        QCOMPARE(rfidscreen->Label9->text(), QString());
        QCOMPARE(DecimalSeparator(), before);
        IPsend->validationWaitMs = 300;
        QCOMPARE(IPsend->sendinput("900001", "P"), 9);
    }

    // The window a technician sees: fixed size, no maximise button, the Send button on
    // the window itself but above the first group box, and the stated tab order.
    void windowFace()
    {
        TestWindow t;
        TIPsend &w = t.w;
        QCOMPARE(w.windowTitle(), QStringLiteral("K-D-W Integration Data Send Over TCP/IP Test"));
        QCOMPARE(w.minimumSize(), QSize(686, 474));
        QCOMPARE(w.maximumSize(), QSize(686, 474));
        QVERIFY(w.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(w.windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!w.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QCOMPARE(w.Button1->parentWidget(), &w);
        QCOMPARE(w.childAt(w.Button1->geometry().center()), w.Button1);
        QCOMPARE(w.Label8->text(), QStringLiteral("Message Length: "));
        QCOMPARE(w.strlist->toPlainText(), QStringLiteral("strlist"));

        // The keyboard's way through the window: the widgets that take focus by Tab.
        QStringList chain;
        QWidget *next = w.Button1;
        do {
            if (next->focusPolicy() & Qt::TabFocus)
                chain << next->objectName();
            next = next->nextInFocusChain();
        } while (next != w.Button1);
        const QStringList expected{"Button1",  "Command", "RangeType", "Reference", "Date", "Time",
                                   "ServerIP", "Port",    "Edit1",     "strlist",   "Edit2"};
        QCOMPARE(chain, expected);

        // Captions fit their text once the window is shown ("Message Length: " keeps its
        // trailing blank, and noofbytes stands right after it).
        w.show();
        for (QLabel *label : {w.Label1, w.Label6, w.Label8, w.Label10, w.Label11})
            QCOMPARE(label->size(), label->sizeHint());
    }

    // Creation writes the date and builds the first preview, whose time part is empty
    // until Timer1 first ticks; the timer runs with the window hidden.
    void previewFromCreationAndFirstTick()
    {
        TestWindow t;
        TIPsend &w = t.w;
        QVERIFY(!w.isVisible());
        QCOMPARE(w.Time->text(), QString());
        QVERIFY2(w.Edit1->text().endsWith(QStringLiteral("&Date=09%2F12%2F24&Time=%3A%3A&")),
                 qPrintable(w.Edit1->text()));
        QCOMPARE(w.noofbytes->text(), QStringLiteral("89"));

        QVERIFY(w.Timer1->isActive());
        QCOMPARE(w.Timer1->interval(), 1000);
        QTRY_VERIFY_WITH_TIMEOUT(!w.Time->text().isEmpty(), 3000);
        QCOMPARE(w.Edit1->text(), defaultBody);
        QCOMPARE(defaultBody.size(), 91);
        QCOMPARE(w.noofbytes->text(), QStringLiteral("95"));
        QCOMPARE(int(w.intmessagelength), 95);
        QCOMPARE(w.messagestring, wire::frameText(defaultBody));
    }

    // Every field change rebuilds the preview, which always names ValidateRangeId and P
    // and takes Date and Time by character positions only. Text typed into Edit1 first
    // shows that each row really rebuilds.
    void fieldChangesRebuildThePreview_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("length");
        QTest::newRow("Command") << "Command"
                                 << "SetRangeUsage" << defaultBody << "95";
        QTest::newRow("RangeType") << "RangeType"
                                   << "C" << defaultBody << "95";
        QTest::newRow("Reference")
            << "Reference"
            << "900001"
            << QString(defaultBody).replace(QStringLiteral("12345678"), QStringLiteral("900001"))
            << "93";
        QTest::newRow("Date by positions")
            << "Date"
            << "9/12/2024"
            << QString(defaultBody)
                   .replace(QStringLiteral("09%2F12%2F24"), QStringLiteral("9/%2F2/%2F24"))
            << "95";
    }
    void fieldChangesRebuildThePreview()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, body);
        QFETCH(QString, length);
        TestWindow t;
        t.w.Timer1Timer();
        t.w.Edit1->setText(QStringLiteral("typed"));
        QCOMPARE(t.w.noofbytes->text(), QStringLiteral("5 bytes"));

        QLineEdit *edit = t.w.findChild<QLineEdit *>(field);
        QVERIFY(edit);
        edit->setText(text);
        QCOMPARE(t.w.Edit1->text(), body);
        QCOMPARE(t.w.noofbytes->text(), length);
        QCOMPARE(t.w.messagestring, wire::frameText(body));
    }

    // Text typed into Edit1 only counts its bytes: it is never sent, a tick that shows
    // the same time leaves it, and the next second's tick replaces it.
    void typedMessageLastsUntilTheNextSecond()
    {
        TestWindow t;
        TIPsend &w = t.w;
        w.Timer1Timer();
        const QString frame = w.messagestring;
        QTest::keyClicks(w.Edit1, QStringLiteral("Command=Hello&"));
        QCOMPARE(w.Edit1->text(), defaultBody + QStringLiteral("Command=Hello&"));
        QCOMPARE(w.noofbytes->text(), QStringLiteral("105 bytes"));
        QCOMPARE(w.messagestring, frame);

        w.Timer1Timer();
        QCOMPARE(w.noofbytes->text(), QStringLiteral("105 bytes"));
        t.nextSecond();
        QCOMPARE(w.Edit1->text(),
                 QString(defaultBody).replace(QStringLiteral("30&"), QStringLiteral("31&")));
        QCOMPARE(w.noofbytes->text(), QStringLiteral("95"));
    }

    // Send goes to the window's own server, not to the settings file's, and the reply
    // shows in Edit2 and strlist.
    void sendShowsTheReply()
    {
        SimFixture sim(simData);
        TestWindow t("127.0.0.2\n1\n.\n");
        TIPsend &w = t.w;
        w.Timer1Timer();
        w.Reference->setText(QStringLiteral("900001"));
        w.ServerIP->setText(QStringLiteral("127.0.0.1"));
        w.Port->setText(QString::number(sim.port()));
        w.Button1->click();

        QCOMPARE(w.RangeOK, 1);
        QCOMPARE(w.number1, 40);
        QCOMPARE(w.Edit2->text(), QStringLiteral("-2"));
        const QStringList lines = w.strlist->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.value(0), QStringLiteral("RangeOK=1"));
        QVERIFY2(lines.contains(QStringLiteral("Number1=40")), qPrintable(lines.join(' ')));
        const QList<SimRequest> requests = sim.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].raw, wire::encodeFrame(w.messagestring) + "\r\n");
        QCOMPARE(requests[0].reference, QStringLiteral("900001"));
    }

    // A server that never answers, or hangs up, ends the Send with 9 within the bound
    // instead of freezing the kiosk; a port that is not a number is a conversion error.
    void sendWithoutReply_data()
    {
        QTest::addColumn<QString>("reference");
        QTest::newRow("silent") << "F-silent";
        QTest::newRow("closes") << "F-close";
    }
    void sendWithoutReply()
    {
        QFETCH(QString, reference);
        SimFixture sim(simData);
        TestWindow t;
        TIPsend &w = t.w;
        QCOMPARE(w.validationWaitMs, 10000);
        w.validationWaitMs = 400;
        w.Reference->setText(reference);
        w.ServerIP->setText(QStringLiteral("127.0.0.1"));
        w.Port->setText(QString::number(sim.port()));
        QElapsedTimer timer;
        timer.start();
        w.Button1Click();
        QCOMPARE(w.RangeOK, 9);
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!w.ClientSocket1.isOpen());
        QCOMPARE(w.Edit2->text(), QStringLiteral("Edit2"));

        w.Port->setText(QStringLiteral("5000l"));
        QVERIFY_THROWS_EXCEPTION(ConversionError, w.Button1Click());
        QVERIFY2(w.SendStatus->text().startsWith(QStringLiteral("Send: ended by the error \"")),
                 qPrintable(w.SendStatus->text()));
    }

    // The status right of Send says how the latest exchange ended, where the Port Listener
    // would still show the previous reply: the result, no reply within the bound, the
    // link's own refusal and its reason (which stays out of IPerror), a Send refused while
    // a customer's exchange ran.
    void sendTellsHowItEnded()
    {
        SimFixture sim(simData);
        TestWindow t;
        TIPsend &w = t.w;
        w.validationWaitMs = 400;
        w.IPerror = QStringLiteral("earlier");
        w.ServerIP->setText(QStringLiteral("127.0.0.1"));
        w.Port->setText(QString::number(sim.port()));
        QCOMPARE(w.SendStatus->text(), QString());

        w.Reference->setText(QStringLiteral("900001"));
        w.Button1->click();
        QCOMPARE(w.SendStatus->text(), QStringLiteral("Send: result 1"));

        w.Reference->setText(QStringLiteral("F-silent"));
        w.Button1->click();
        QCOMPARE(w.SendStatus->text(), QStringLiteral("Send: result 9, no reply within 0.4 s"));
        QCOMPARE(w.strlist->toPlainText().section('\n', 0, 0), QStringLiteral("RangeOK=1"));

        w.Reference->setText(QString(200, QLatin1Char('7'))); // L 287
        w.Button1->click();
        QCOMPARE(w.RangeOK, linkresult::refusedByLink);
        QCOMPARE(w.SendStatus->text(),
                 QStringLiteral("Send: result -3, refused by the link: Request too long for "
                                "its length byte"));
        QCOMPARE(w.IPerror, QStringLiteral("earlier"));

        // A Send clicked while a card's validation waits in the parser's message pump.
        w.Reference->setText(QStringLiteral("900001"));
        QTimer::singleShot(0, &w, [&w] { w.Button1->click(); });
        w.remoteport = QString::number(sim.port());
        QCOMPARE(w.sendinput(QStringLiteral("12345678"), QStringLiteral("C")), 1);
        QCOMPARE(w.SendStatus->text(),
                 QStringLiteral("Validation: result 1\nSend: refused (result -2), another "
                                "exchange was running"));
        QCOMPARE(sim.requests().size(), 3);
        QCOMPARE(w.IPerror, QStringLiteral("earlier"));
    }

    // The window tells the technician why the link itself ended an exchange: a reply with
    // a control byte in its body, and link settings whose decimal separator cannot work
    // (said as soon as the file is read, and again at every exchange).
    void tellsWhatTheLinkRefused()
    {
        SimFixture sim(simData);
        {
            TestWindow t("127.0.0.1\n" + QByteArray::number(sim.port()) + "\n.\n");
            TIPsend &w = t.w;
            w.ServerIP->setText(QStringLiteral("127.0.0.1"));
            w.Port->setText(QString::number(sim.port()));
            w.Reference->setText(QStringLiteral("F-nul"));
            w.Button1->click();
            QCOMPARE(w.SendStatus->text(),
                     QStringLiteral("Send: result 9, reply lost (control byte 0x00 at offset 23)"));
            QCOMPARE(w.sendinput(QStringLiteral("F-nul"), QStringLiteral("P")), 9);
            QCOMPARE(w.SendStatus->text(), QStringLiteral("Validation: result 9, reply lost "
                                                          "(control byte 0x00 at offset 23)"));
            QCOMPARE(w.number1, 0);
        }
        TestWindow t("127.0.0.1\n" + QByteArray::number(sim.port()) + "\n&\n");
        TIPsend &w = t.w;
        const QString error = QStringLiteral(
            "settings error: the decimal separator \"&\" on line 3 of config.ini is the reply's "
            "item separator, which cannot separate decimals");
        QCOMPARE(w.SendStatus->text(), QStringLiteral("Link settings: ") + error);
        w.ServerIP->setText(QStringLiteral("127.0.0.1"));
        w.Port->setText(QString::number(sim.port()));
        w.Reference->setText(QStringLiteral("900001"));
        w.Button1->click();
        QCOMPARE(w.SendStatus->text(), QStringLiteral("Send: result 9, ") + error);
        QCOMPARE(sim.requests().size(), 2);
        QVERIFY(reported.isEmpty());
    }

    // The status takes free space of the first group box: every control keeps its place
    // and none is covered.
    void statusCoversNothing()
    {
        TestWindow t;
        TIPsend &w = t.w;
        QCOMPARE(w.SendStatus->parentWidget(), w.GroupBox1);
        const QRect status(w.SendStatus->mapTo(&w, QPoint(0, 0)), w.SendStatus->size());
        QVERIFY(w.GroupBox1->geometry().contains(status));
        for (QWidget *other : w.findChildren<QWidget *>()) {
            if (other == w.SendStatus || other->isAncestorOf(w.SendStatus) ||
                other->parentWidget() == nullptr || other->inherits("QTimer"))
                continue;
            if (!other->isWindow() &&
                (other->parentWidget() == w.GroupBox1 || other == w.Button1)) {
                const QRect rect(other->mapTo(&w, QPoint(0, 0)), other->size());
                QVERIFY2(!rect.intersects(status), qPrintable(other->objectName()));
            }
        }
        QCOMPARE(w.Button1->geometry(), QRect(370, 86, 75, 25));
        QCOMPARE(w.Port->geometry(), QRect(362, 51, 121, 21));
    }

    // The title bar's close button hides the window; the kiosk runs on even when no other
    // window was on the screen, its exchanges go on, and the window shows again.
    void closingHidesAndTheKioskRunsOn()
    {
        SimFixture sim(simData);
        QTemporaryDir dir;
        QFile file(dir.filePath("config.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("127.0.0.1\n" + QByteArray::number(sim.port()) + "\n.\n");
        file.close();
        WindowSet ws(file.fileName());
        IPsend->show();
        QVERIFY(QTest::qWaitForWindowExposed(IPsend));
        // Qt ends the event loop when the last window that counts is closed: run the loop,
        // close the window in it and see whether the loop ends before it is told to.
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        QTimer::singleShot(0, IPsend, [] { IPsend->close(); });
        QTimer::singleShot(300, qApp, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 7);
        QCOMPARE(lastClosed.count(), 0);
        QVERIFY(!IPsend->isVisible());
        QCOMPARE(IPsend->sendinput(QStringLiteral("12345678"), QStringLiteral("C")), 1);
        IPsend->show();
        QVERIFY(IPsend->isVisible());
        QCOMPARE(IPsend->SendStatus->text(), QStringLiteral("Validation: result 1"));
    }

    // Without a window manager there is no title bar: a drag on the window's body (a group
    // box, or a label in one) moves it, a drag that starts in an entry box selects text
    // and leaves the window in place, and Escape hides it.
    void movedByItsBodyAndClosedWithEscape()
    {
        TestWindow t;
        t.w.move(100, 100);
        t.w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&t.w));
        const auto drag = [](QWidget *from, const QPoint &by) {
            const QPoint start = from->rect().center();
            QTest::mousePress(from, Qt::LeftButton, Qt::NoModifier, start);
            QMouseEvent move(QEvent::MouseMove, QPointF(start + by),
                             QPointF(from->mapToGlobal(start + by)), Qt::NoButton, Qt::LeftButton,
                             Qt::NoModifier);
            QApplication::sendEvent(from, &move);
            QTest::mouseRelease(from, Qt::LeftButton, Qt::NoModifier, start + by);
        };
        const QPoint before = t.w.pos();
        drag(t.w.Label10, QPoint(40, 25));
        QCOMPARE(t.w.pos(), before + QPoint(40, 25));
        drag(t.w.GroupBox1, QPoint(-10, 5));
        QCOMPARE(t.w.pos(), before + QPoint(30, 30));
        drag(t.w.Reference, QPoint(60, 0));
        QCOMPARE(t.w.pos(), before + QPoint(30, 30));
        QTest::keyClick(t.w.Reference, Qt::Key_Escape);
        QVERIFY(!t.w.isVisible());
    }

    // After a kiosk exchange messagestring holds its frame until a tick rebuilds the
    // preview, so a Send within the same second sends that frame once more. The
    // exchange's reply shows in the window like a Send's.
    void sendRepeatsAKioskFrameWithinTheSecond()
    {
        SimFixture sim(simData);
        TestWindow t("127.0.0.1\n" + QByteArray::number(sim.port()) + "\n.\n");
        TIPsend &w = t.w;
        w.Timer1Timer();
        w.ServerIP->setText(QStringLiteral("127.0.0.1"));
        w.Port->setText(QString::number(sim.port()));

        QCOMPARE(w.sendinput(QStringLiteral("12345678"), QStringLiteral("C")), 1);
        QCOMPARE(w.Edit2->text(), QStringLiteral("-2"));
        QVERIFY(w.strlist->toPlainText().contains(QStringLiteral("CardBalance=")));
        w.Timer1Timer(); // same second: nothing rebuilt
        w.Button1->click();
        t.nextSecond();
        w.Button1->click();

        const QList<SimRequest> requests = sim.requests();
        QCOMPARE(requests.size(), 3);
        QCOMPARE(requests[0].rangeType, QStringLiteral("C"));
        QCOMPARE(requests[1].raw, requests[0].raw);
        QCOMPARE(requests[2].rangeType, QStringLiteral("P"));
        QCOMPARE(requests[2].time, QStringLiteral("14%3A05%3A31"));
    }

private:
    QStringList reported;
};

QTEST_MAIN(IPsendTest)
#include "tst_ipsend.moc"
