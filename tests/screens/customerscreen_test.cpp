// What the voucher screen and the members card screen share: the reader's input around a
// busy phase, which opening an answer belongs to, the server's text shown as text, and the
// steps that only real showing and hiding run. The real windows, offscreen, against the
// simulated management server; the races are played through the link's pump.

#include "barcodekiosk.h"
#include "rfidkiosk.h"

#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <utility>

enum class Screen { Voucher, Card };
Q_DECLARE_METATYPE(Screen)

namespace {

// The vouchers and cards that the tests use; %PICTURE% becomes the path of a picture that a
// rendered image tag would load.
const char *const kData = R"({
    "prices": [ {"balls": 5, "price": "20.00"}, {"balls": 8, "price": "35.00"},
                {"balls": 12, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"},
               {"number": "22223333", "balance": "40.00"},
               {"number": "F-delay", "balance": "250.00"} ],
    "vouchers": [ {"number": "900003", "balls": 3, "used": false},
                  {"number": "900040", "balls": 40, "used": false},
                  {"number": "F-delay", "balls": 5, "used": false} ],
    "faults": {
        "F-delay":  {"mode": "delay", "ms": 300},
        "F-markup": {"mode": "raw", "body": "RangeOK=0&Error=Card+<b>blocked</b>&"},
        "F-image":  {"mode": "raw", "body": "RangeOK=0&Error=<img+src=%PICTURE%>&"}
    } })";

QByteArray data(const QString &picture)
{
    return QByteArray(kData).replace("%PICTURE%", picture.toUtf8());
}

// The whole kiosk with one of the two customer screens under test.
class Kiosk
{
public:
    explicit Kiosk(Screen screen, const QString &picture = QStringLiteral("none.png"))
        : m_screen(screen), m_kiosk(data(picture))
    {
        rfidscreen->stepMs = 1;
        rfidscreen->linkErrorPauseMs = 50;
        rfidscreen->reportPauseMs = 50;
        IPsend->validationWaitMs = 2000;
        mainscreen->show();
    }

    QWidget *window() const
    {
        return m_screen == Screen::Voucher ? static_cast<QWidget *>(barcodescreen)
                                           : static_cast<QWidget *>(rfidscreen);
    }
    QLineEdit *entryBox() const
    {
        return m_screen == Screen::Voucher ? barcodescreen->edbarcode : rfidscreen->edcardno;
    }
    QLabel *messageLine() const
    {
        return m_screen == Screen::Voucher ? barcodescreen->Label1 : rfidscreen->label1;
    }
    QTimer *timeout() const
    {
        return m_screen == Screen::Voucher ? barcodescreen->timeout : rfidscreen->timeout;
    }
    // A number the server accepts, and what the screen then offers for it.
    QString accepted() const { return m_screen == Screen::Voucher ? "900003" : "12345678"; }
    bool offering() const
    {
        return m_screen == Screen::Voucher ? barcodescreen->choices == 1 : rfidscreen->choices == 3;
    }

    // The customer's choice on the main screen.
    void open() const
    {
        QTest::mouseClick(m_screen == Screen::Voucher ? mainscreen->Image2 : mainscreen->Image3,
                          Qt::LeftButton);
    }

    // The reader's characters, '\r' standing for Enter: delivered now, or posted so that
    // they arrive at the next pump.
    void type(const QString &keys) const
    {
        for (const QChar key : keys) {
            QKeyEvent press = keyPress(key);
            QApplication::sendEvent(entryBox(), &press);
        }
    }
    void post(const QString &keys) const
    {
        for (const QChar key : keys)
            QCoreApplication::postEvent(entryBox(), new QKeyEvent(keyPress(key)));
    }

    void touchBucket() const
    {
        QTest::mouseClick(m_screen == Screen::Voucher ? static_cast<QWidget *>(barcodescreen->nas)
                                                      : rfidscreen->imgsmallbucket,
                          Qt::LeftButton);
    }

    QStringList references(const QString &command) const
    {
        QStringList found;
        for (const SimRequest &request : m_kiosk.requests(command))
            found << request.reference;
        return found;
    }

private:
    static QKeyEvent keyPress(QChar key)
    {
        if (key == QLatin1Char('\r'))
            return QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier,
                             QStringLiteral("\r"));
        return QKeyEvent(QEvent::KeyPress, 0, Qt::NoModifier, QString(key));
    }

    Screen m_screen;
    barcodetest::Kiosk m_kiosk;
};

// Runs action once, at the pump after the message line first shows text.
class AtText
{
public:
    AtText(QLabel *line, const QString &text, std::function<void()> action)
        : m_action(std::move(action)), m_recorder(line, [this, text](const QString &shown) {
              if (shown == text && m_action)
                  std::exchange(m_action, {})();
          })
    {
    }
    bool ran() const { return !m_action; }

private:
    std::function<void()> m_action;
    barcodetest::TextRecorder m_recorder;
};

// Watches a window's hiding and showing: the window system's own (spontaneous) ones are
// counted, and the first real hiding runs onHide.
class VisibilityWatch : public QObject
{
public:
    explicit VisibilityWatch(QWidget *window, std::function<void()> onHide = {})
        : m_onHide(std::move(onHide))
    {
        window->installEventFilter(this);
    }
    int spontaneousHides = 0;
    int spontaneousShows = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Hide && event->spontaneous())
            ++spontaneousHides;
        else if (event->type() == QEvent::Show && event->spontaneous())
            ++spontaneousShows;
        else if (event->type() == QEvent::Hide && m_onHide)
            std::exchange(m_onHide, {})();
        return false;
    }

private:
    std::function<void()> m_onHide;
};

void addScreenRows(const char *name, const std::function<void(QTestData &)> &rest = {})
{
    for (const auto &[screen, label] :
         {std::pair{Screen::Voucher, "voucher"}, std::pair{Screen::Card, "card"}}) {
        QTestData &row = QTest::addRow("%s, %s", label, name) << screen;
        if (rest)
            rest(row);
    }
}

void addLeavingRows()
{
    QTest::addColumn<bool>("byTimeout"); // else a return touch
    QTest::newRow("left by a return touch") << false;
    QTest::newRow("left by the timeout") << true;
}

// Reads a card that the server accepts while its customer leaves the card screen at the
// link's pump, by a return touch or the timeout; then, when given, runs at the same pump
// too. True when the screen closed inside the exchange, as the race needs.
bool readAndLeaveAtTheLinkPump(const Kiosk &kiosk, bool byTimeout,
                               const std::function<void()> &then = {})
{
    bool closedInsideTheExchange = false;
    VisibilityWatch watch(rfidscreen, [&] {
        closedInsideTheExchange = kiosk.references("ValidateRangeId").size() == 1;
    });
    QTimer later;
    later.setSingleShot(true);
    later.setTimerType(Qt::PreciseTimer);
    if (then)
        QObject::connect(&later, &QTimer::timeout, then);
    AtText at(rfidscreen->label1, QStringLiteral("Please wait"), [&] {
        if (byTimeout) {
            // Both fall due during the server's 300 ms, in this order.
            rfidscreen->timeout->start(100);
            later.start(200);
            return;
        }
        // Posted now, run at the next pump: the link's.
        QMetaObject::invokeMethod(
            qApp, [] { QTest::mouseClick(rfidscreen->imgreturn, Qt::LeftButton); },
            Qt::QueuedConnection);
        if (then)
            QMetaObject::invokeMethod(qApp, then, Qt::QueuedConnection);
    });
    kiosk.type(byTimeout ? QStringLiteral("F-delay\r") : QStringLiteral("12345678\r"));
    return closedInsideTheExchange;
}

} // namespace

class CustomerScreenTest : public QObject
{
    Q_OBJECT

private slots:
    void readStraddlingABusyPhaseIsIgnoredWhole_data();
    void readStraddlingABusyPhaseIsIgnoredWhole();
    void answerForAnEarlierOpeningIsDropped_data();
    void answerForAnEarlierOpeningIsDropped();
    void answerOnAClosedScreenStartsNoTimeout_data();
    void answerOnAClosedScreenStartsNoTimeout();
    void serverTextShowsAsText_data();
    void serverTextShowsAsText();
    void windowSystemHidingLeavesTheOpeningAlone_data();
    void windowSystemHidingLeavesTheOpeningAlone();
};

void CustomerScreenTest::readStraddlingABusyPhaseIsIgnoredWhole_data()
{
    QTest::addColumn<Screen>("screen");
    QTest::addColumn<bool>("countdown"); // else the validation of an accepted read
    QTest::addColumn<QString>("during"); // arrive at the link's or the countdown's pump
    QTest::addColumn<QString>("after");  // arrive once the busy phase is over

    auto rows = [](const char *name, bool countdown, const char *during, const char *after) {
        addScreenRows(
            name, [&](QTestData &row) { row << countdown << QString(during) << QString(after); });
    };
    rows("whole read during the validation", false, "22223333\r", "");
    rows("read runs past the validation", false, "2222", "3333\r");
    rows("only its Enter after the validation", false, "22223333", "\r");
    rows("Enter alone during the validation", false, "\r", "");
    rows("whole read during the countdown", true, "123\r", "");
    rows("read runs past the countdown", true, "12", "3\r");
}

void CustomerScreenTest::readStraddlingABusyPhaseIsIgnoredWhole()
{
    QFETCH(Screen, screen);
    QFETCH(bool, countdown);
    QFETCH(QString, during);
    QFETCH(QString, after);

    Kiosk kiosk(screen);
    kiosk.open();
    const QString number = kiosk.accepted();
    if (countdown) {
        kiosk.type(number + '\r');
        QVERIFY(kiosk.offering());
        AtText at(kiosk.messageLine(), QStringLiteral("Dispensing: 2"),
                  [&] { kiosk.type(during); });
        kiosk.touchBucket();
        QVERIFY(at.ran());
    } else {
        AtText at(kiosk.messageLine(), QStringLiteral("Please wait"), [&] { kiosk.post(during); });
        kiosk.type(number + '\r');
        QVERIFY(at.ran());
        QVERIFY(kiosk.offering());
    }
    kiosk.type(after);

    // Nothing of the ignored read shows, is validated or takes the offer away.
    QCOMPARE(kiosk.entryBox()->text(), number);
    QCOMPARE(kiosk.references("ValidateRangeId"), QStringList{number});
    if (countdown) {
        QCOMPARE(kiosk.references("SetRangeUsage"), QStringList{number});
        QVERIFY(!kiosk.window()->isVisible());
    } else {
        QVERIFY(kiosk.offering());
    }

    // The next read counts from its first character (the voucher screen joins the reads
    // of one opening).
    if (countdown)
        kiosk.open();
    kiosk.type("7\r");
    const QString joined = screen == Screen::Voucher && !countdown ? number + '7' : "7";
    QCOMPARE(kiosk.references("ValidateRangeId"), (QStringList{number, joined}));
}

void CustomerScreenTest::answerForAnEarlierOpeningIsDropped_data()
{
    addLeavingRows();
}

// The customer leaves while the card is validated and the next one chooses "Members Card",
// both at the link's pump: the answer that then comes back is not the new customer's.
void CustomerScreenTest::answerForAnEarlierOpeningIsDropped()
{
    QFETCH(bool, byTimeout);
    Kiosk kiosk(Screen::Card);
    kiosk.open();
    QVERIFY(readAndLeaveAtTheLinkPump(kiosk, byTimeout, [] {
        rfidscreen->timeout->setInterval(30000);
        QTest::mouseClick(mainscreen->Image3, Qt::LeftButton);
    }));

    // The new opening shows what an opening shows, and nothing of the earlier card serves.
    QVERIFY(rfidscreen->isVisible());
    QVERIFY(!mainscreen->isVisible());
    QCOMPARE(rfidscreen->choices, 0);
    QCOMPARE(rfidtest::offered(), QString());
    QCOMPARE(rfidtest::enabledAreas(), QString());
    QCOMPARE(rfidscreen->lblAccountBalance->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->lblAccountType->text(), QStringLiteral("waiting..."));
    QCOMPARE(rfidscreen->label1->text(),
             QStringLiteral("Please insert membership card and then remove"));
    kiosk.touchBucket();
    QVERIFY(rfidscreen->isVisible());
    QCOMPARE(kiosk.references("SetRangeUsage"), QStringList());
}

void CustomerScreenTest::answerOnAClosedScreenStartsNoTimeout_data()
{
    addLeavingRows();
}

// The customer leaves while the card is validated, at the link's pump, and the card is
// accepted: the next opening still gets the whole interval.
void CustomerScreenTest::answerOnAClosedScreenStartsNoTimeout()
{
    QFETCH(bool, byTimeout);
    Kiosk kiosk(Screen::Card);
    rfidscreen->timeout->setInterval(1000);
    kiosk.open();
    QVERIFY(readAndLeaveAtTheLinkPump(kiosk, byTimeout));
    QVERIFY(!rfidscreen->isVisible());
    QVERIFY(!rfidscreen->timeout->isActive());

    // A little later the next customer opens the screen: a whole interval from the opening.
    if (byTimeout)
        rfidscreen->timeout->setInterval(1000); // the shortened one has done its part
    QTest::qWait(300);
    kiosk.open();
    QVERIFY(rfidscreen->isVisible());
    QVERIFY2(rfidscreen->timeout->remainingTime() > 900,
             qPrintable(QString::number(rfidscreen->timeout->remainingTime())));
}

void CustomerScreenTest::serverTextShowsAsText_data()
{
    QTest::addColumn<QString>("card");
    QTest::addColumn<QString>("shown"); // %1: the picture's path
    QTest::newRow("bold markup") << "F-markup"
                                 << "Card <b>blocked</b>";
    QTest::newRow("image tag") << "F-image"
                               << "<img src=%1>";
}

void CustomerScreenTest::serverTextShowsAsText()
{
    QFETCH(QString, card);
    QFETCH(QString, shown);
    QTemporaryDir dir;
    const QString picture = dir.filePath(QStringLiteral("large.png"));
    QImage image(400, 400, QImage::Format_RGB32);
    image.fill(Qt::red);
    QVERIFY(image.save(picture));
    shown.replace(QStringLiteral("%1"), picture);

    Kiosk kiosk(Screen::Card, picture);
    kiosk.open();
    kiosk.type(card + '\r');

    // Exactly the server's text, "+" as blanks, laid out letter by letter on one line: as
    // rich text the tags would vanish into bold type or a 400-pixel picture.
    QLabel *line = rfidscreen->label1;
    QCOMPARE(line->text(), shown);
    QVERIFY2(line->width() >= line->fontMetrics().horizontalAdvance(shown),
             qPrintable(QString::number(line->width())));
    QVERIFY2(line->height() < 2 * line->fontMetrics().height(),
             qPrintable(QString::number(line->height())));
}

void CustomerScreenTest::windowSystemHidingLeavesTheOpeningAlone_data()
{
    QTest::addColumn<Screen>("screen");
    addScreenRows("minimised and restored during the validation");
}

// A desktop switch or a minimise and restore while a read is validated is no new opening:
// the answer comes to the customer who is still there.
void CustomerScreenTest::windowSystemHidingLeavesTheOpeningAlone()
{
    QFETCH(Screen, screen);
    Kiosk kiosk(screen);
    kiosk.open();
    QWidget *window = kiosk.window();
    VisibilityWatch watch(window);
    AtText at(kiosk.messageLine(), QStringLiteral("Please wait"), [&] {
        window->setWindowState(window->windowState() | Qt::WindowMinimized);
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    });
    kiosk.type(kiosk.accepted() + '\r');
    QVERIFY(at.ran());
    QVERIFY(watch.spontaneousHides > 0);
    QVERIFY(watch.spontaneousShows > 0);

    QVERIFY(kiosk.offering());
    QCOMPARE(kiosk.messageLine()->text(), QStringLiteral("Place bucket under dispenser. "));
    QVERIFY(window->isVisible());
    QVERIFY(!mainscreen->isVisible());
    QVERIFY(kiosk.timeout()->isActive());
}

QTEST_MAIN(CustomerScreenTest)
#include "customerscreen_test.moc"
