// The three screens under a finger and under a right click, as a touch kiosk meets them:
// taps from a touch screen (Qt turns them into mouse events for the click areas), second
// fingers and palms during a tap, the staff gesture's double taps, and the right click that
// many touch controllers make of a long press. The whole kiosk, offscreen on a 1280 x 1024
// screen so that the exit areas below the design area lie on it, against the simulated
// management server. Input goes in through the window system's way (QWindow), as a touch
// screen, a mouse or a reader would deliver it.

#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/doubleclickarea.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"
#include "support/simfixture.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QLineEdit>
#include <QPointingDevice>
#include <QStyleHints>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <memory>

namespace {

const QByteArray kData = R"({
    "prices": [ {"balls": 2, "price": "20.00"}, {"balls": 3, "price": "35.00"},
                {"balls": 4, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"} ],
    "vouchers": [ {"number": "900003", "balls": 3, "used": false} ],
    "faults": {} })";

QPointingDevice *touchScreen()
{
    static QPointingDevice *device =
        QTest::createTouchDevice(QInputDevice::DeviceType::TouchScreen);
    return device;
}

// The whole kiosk with short pauses.
struct Kiosk
{
    Kiosk() : sim(kData), windows(sim.writeConfig(dir.path()))
    {
        barcodescreen->stepMs = 1;
        barcodescreen->failurePauseMs = 20;
        barcodescreen->reportPauseMs = 20;
        rfidscreen->stepMs = 1;
        rfidscreen->linkErrorPauseMs = 20;
        rfidscreen->reportPauseMs = 20;
        IPsend->validationWaitMs = 2000;
        mainscreen->show();
    }

    QStringList references(const QString &command) const
    {
        QStringList found;
        for (const SimRequest &request : sim.requests())
            if (request.command == command)
                found << request.reference + (request.issueGroup.isEmpty()
                                                  ? QString()
                                                  : QLatin1Char('/') + request.issueGroup);
        return found;
    }

    QTemporaryDir dir;
    SimFixture sim;
    WindowSet windows;
};

QPoint centreIn(const QWidget *control)
{
    return control->mapTo(control->window(), control->rect().center());
}

// One finger down and up again on the window, at a point in its coordinates.
void tap(QWidget *window, const QPoint &at)
{
    QWindow *handle = window->windowHandle();
    QTest::touchEvent(handle, touchScreen()).press(0, at, handle);
    QTest::touchEvent(handle, touchScreen()).release(0, at, handle);
}

// The finger of a tap on first, while other fingers (a second finger, the ball of a palm)
// come down at others and lift again before it.
void tapWithOthers(QWidget *window, const QPoint &first, const QList<QPoint> &others)
{
    QWindow *handle = window->windowHandle();
    QTest::touchEvent(handle, touchScreen()).press(0, first, handle);
    {
        QTest::QTouchEventSequence down = QTest::touchEvent(handle, touchScreen());
        down.stationary(0);
        for (int i = 0; i < others.size(); ++i)
            down.press(i + 1, others.at(i), handle);
    }
    {
        QTest::QTouchEventSequence moved = QTest::touchEvent(handle, touchScreen());
        moved.stationary(0);
        for (int i = 0; i < others.size(); ++i)
            moved.move(i + 1, others.at(i) + QPoint(3, 2), handle);
    }
    {
        QTest::QTouchEventSequence up = QTest::touchEvent(handle, touchScreen());
        up.stationary(0);
        for (int i = 0; i < others.size(); ++i)
            up.release(i + 1, others.at(i) + QPoint(3, 2), handle);
    }
    QTest::touchEvent(handle, touchScreen()).release(0, first, handle);
}

// A right click where the window system puts one (a long press on many touch
// controllers), or the context menu event itself, as the menu key sends it.
void rightClick(QWidget *control)
{
    QWidget *window = control->window();
    QTest::mouseClick(window->windowHandle(), Qt::RightButton, Qt::NoModifier, centreIn(control));
}

void contextMenuKey(QWidget *control)
{
    QContextMenuEvent event(QContextMenuEvent::Keyboard, control->rect().center(),
                            control->mapToGlobal(control->rect().center()));
    QApplication::sendEvent(control, &event);
}

// The reader's characters and Enter, typed into whatever the window system gives the keys
// to: the focused entry box, or an open menu.
void readInto(QWidget *window, const QString &number)
{
    for (const QChar c : number)
        QTest::keyClick(window->windowHandle(), c.toLatin1());
    QTest::keyClick(window->windowHandle(), Qt::Key_Return);
}

} // namespace

class TouchTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<Kiosk> m_kiosk;

private slots:
    void initTestCase() { QCOMPARE(QGuiApplication::primaryScreen()->size(), QSize(1280, 1024)); }
    void init() { m_kiosk = std::make_unique<Kiosk>(); }
    void cleanup() { m_kiosk.reset(); }

    void oneTapOneAction_data();
    void oneTapOneAction();
    void doubleTap_data();
    void doubleTap();
    void fourDoubleTapsEndTheKiosk();
    void noContextMenuTakesARead_data();
    void noContextMenuTakesARead();
    void noContextMenuOnTheMainScreen();
};

void TouchTest::oneTapOneAction_data()
{
    // screen: the screen tapped; target: the control the tap's finger lands on; others: the
    // controls other fingers touch meanwhile ("-": none, "palm": four points at once around
    // the tap); expected: what happened, as opened windows or usage reports.
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("others");
    QTest::addColumn<QString>("expected");
    QTest::newRow("main: one tap on the barcode emblem") << "main"
                                                         << "Image2"
                                                         << "-"
                                                         << "voucher";
    QTest::newRow("main: one tap on the Members Card caption") << "main"
                                                               << "Label2"
                                                               << "-"
                                                               << "card";
    QTest::newRow("main: a second finger on the other choice") << "main"
                                                               << "Image2"
                                                               << "Image3"
                                                               << "voucher";
    QTest::newRow("main: a palm during the tap") << "main"
                                                 << "Image3"
                                                 << "palm"
                                                 << "card";
    QTest::newRow("voucher: one tap on the bucket") << "voucher"
                                                    << "nas"
                                                    << "-"
                                                    << "900003";
    QTest::newRow("voucher: a second finger on the bucket") << "voucher"
                                                            << "nas"
                                                            << "nas"
                                                            << "900003";
    QTest::newRow("voucher: a second finger on the return area") << "voucher"
                                                                 << "nas"
                                                                 << "imgreturn"
                                                                 << "900003";
    QTest::newRow("voucher: a palm during the tap") << "voucher"
                                                    << "nas"
                                                    << "palm"
                                                    << "900003";
    QTest::newRow("card: one tap on the small bucket") << "card"
                                                       << "imgsmallbucket"
                                                       << "-"
                                                       << "12345678/1";
    QTest::newRow("card: a second finger on the large bucket") << "card"
                                                               << "imgmediumbucket"
                                                               << "imglargebucket"
                                                               << "12345678/2";
    QTest::newRow("card: a palm during the tap") << "card"
                                                 << "imglargebucket"
                                                 << "palm"
                                                 << "12345678/3";
}

void TouchTest::oneTapOneAction()
{
    QFETCH(QString, screen);
    QFETCH(QString, target);
    QFETCH(QString, others);
    QFETCH(QString, expected);

    QWidget *window = mainscreen;
    if (screen == QLatin1String("voucher")) {
        mainscreen->Image2Click();
        window = barcodescreen;
        readInto(window, QStringLiteral("900003"));
        QCOMPARE(barcodescreen->choices, 1);
    } else if (screen == QLatin1String("card")) {
        mainscreen->Image3Click();
        window = rfidscreen;
        readInto(window, QStringLiteral("12345678"));
        QCOMPARE(rfidscreen->choices, 3);
    }
    QVERIFY(QTest::qWaitForWindowExposed(window));
    auto *control = window->findChild<QWidget *>(target);
    QVERIFY(control);

    int voucherOpenings = 0;
    int cardOpenings = 0;
    struct Counter : QObject
    {
        int &count;
        Counter(QWidget *w, int &c) : count(c) { w->installEventFilter(this); }
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Show && !e->spontaneous())
                ++count;
            return false;
        }
    } voucherShown(barcodescreen, voucherOpenings), cardShown(rfidscreen, cardOpenings);

    const QPoint at = centreIn(control);
    if (others == QLatin1String("-")) {
        tap(window, at);
    } else if (others == QLatin1String("palm")) {
        tapWithOthers(
            window, at,
            {at + QPoint(-40, 30), at + QPoint(-10, 45), at + QPoint(25, 50), at + QPoint(60, 20)});
    } else {
        auto *other = window->findChild<QWidget *>(others);
        QVERIFY(other);
        // Another finger of the same hand, a little off the first on the same control.
        tapWithOthers(window, at, {centreIn(other) + QPoint(12, 18)});
    }
    // Whatever the tap started has run its course (a countdown and its report).
    QTest::qWait(100);

    if (screen == QLatin1String("main")) {
        const QString opened = voucherOpenings == 1 && cardOpenings == 0   ? "voucher"
                               : voucherOpenings == 0 && cardOpenings == 1 ? "card"
                                                                           : "";
        QVERIFY2(opened == expected,
                 qPrintable(
                     QStringLiteral("%1 voucher, %2 card").arg(voucherOpenings).arg(cardOpenings)));
        return;
    }
    QTRY_VERIFY(!window->isVisible());
    QCOMPARE(m_kiosk->references(QStringLiteral("SetRangeUsage")), QStringList{expected});
}

void TouchTest::doubleTap_data()
{
    // The second tap lands offset from the first, after pause milliseconds.
    QTest::addColumn<QPoint>("offset");
    QTest::addColumn<int>("pause");
    QTest::addColumn<bool>("recognized");
    QTest::newRow("same pixel") << QPoint(0, 0) << 0 << true;
    QTest::newRow("5 px aside, Qt's mouse distance") << QPoint(5, 0) << 0 << true;
    QTest::newRow("8 px down") << QPoint(0, 8) << 0 << true;
    QTest::newRow("10 px aside") << QPoint(-10, 0) << 0 << true;
    QTest::newRow("10 px on the slant") << QPoint(6, 8) << 0 << true;
    QTest::newRow("11 px on the slant") << QPoint(8, 8) << 0 << false;
    QTest::newRow("15 px aside") << QPoint(15, 0) << 0 << false;
    QTest::newRow("a second apart") << QPoint(0, 0) << 1000 << false;
}

void TouchTest::doubleTap()
{
    QFETCH(QPoint, offset);
    QFETCH(int, pause);
    QFETCH(bool, recognized);
    QVERIFY(QTest::qWaitForWindowExposed(mainscreen));
    QVERIFY(pause == 0 || pause > QGuiApplication::styleHints()->mouseDoubleClickInterval());

    for (QWidget *area :
         {static_cast<QWidget *>(mainscreen->Image5), static_cast<QWidget *>(mainscreen->Image6)}) {
        const qint32 before = mainscreen->shutdown;
        const QPoint first = centreIn(area);
        tap(mainscreen, first);
        if (pause)
            QTest::qWait(pause);
        tap(mainscreen, first + offset);
        QVERIFY2(mainscreen->shutdown == before + (recognized ? 1 : 0),
                 qPrintable(area->objectName() + QStringLiteral(": ") +
                            QString::number(mainscreen->shutdown - before)));
        // The next pair starts anew.
        QTest::qWait(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 50);
    }
}

// The staff gesture made with a finger that never hits the same pixel twice.
void TouchTest::fourDoubleTapsEndTheKiosk()
{
    QVERIFY(QTest::qWaitForWindowExposed(mainscreen));
    int step = 0;
    QTimer stepper;
    stepper.setInterval(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 50);
    connect(&stepper, &QTimer::timeout, this, [&] {
        if (step == 5) {
            QCoreApplication::exit(-1);
            return;
        }
        ++step;
        const QPoint at = centreIn(mainscreen->Image5) + QPoint(step * 4, -step * 3);
        tap(mainscreen, at);
        tap(mainscreen, at + QPoint(-6, 8));
    });
    stepper.start();
    const int code = QApplication::exec();
    QCOMPARE(code, 0);
    QCOMPARE(step, 4);
}

void TouchTest::noContextMenuTakesARead_data()
{
    QTest::addColumn<QString>("screen");
    QTest::addColumn<bool>("byKey"); // else a right click
    QTest::newRow("voucher screen, right click") << "voucher" << false;
    QTest::newRow("voucher screen, menu key") << "voucher" << true;
    QTest::newRow("card screen, right click") << "card" << false;
    QTest::newRow("card screen, menu key") << "card" << true;
}

// On every control of the screen (the entry box first: its edit menu took the keys), a
// right click or the menu key opens nothing, and the next read reaches the server.
void TouchTest::noContextMenuTakesARead()
{
    QFETCH(QString, screen);
    QFETCH(bool, byKey);
    const bool voucher = screen == QLatin1String("voucher");
    CustomerScreen *window = voucher ? static_cast<CustomerScreen *>(barcodescreen)
                                     : static_cast<CustomerScreen *>(rfidscreen);
    auto open = [&] {
        if (voucher)
            mainscreen->Image2Click();
        else
            mainscreen->Image3Click();
    };
    open();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QList<QWidget *> controls{
        voucher ? static_cast<QWidget *>(barcodescreen->edbarcode) : rfidscreen->edcardno, window};
    for (QWidget *control : window->findChildren<QWidget *>())
        if (!controls.contains(control))
            controls << control;

    int read = 0;
    for (QWidget *control : std::as_const(controls)) {
        if (!window->isVisible())
            open();
        if (!control->isVisible())
            continue; // a hidden bucket picture is not there to be touched
        if (byKey)
            contextMenuKey(control);
        else
            rightClick(control);
        const QString name = control->objectName();
        QVERIFY2(!QApplication::activePopupWidget(), qPrintable(name + QStringLiteral(": a menu")));
        // Numbers the server does not know: each read is refused and stands alone.
        const QString number = QString::number(700000 + ++read);
        readInto(window, number);
        QVERIFY2(m_kiosk->references(QStringLiteral("ValidateRangeId")).contains(number),
                 qPrintable(name + QStringLiteral(": the read did not reach the server")));
    }
    QVERIFY(read > 10);
}

// The main screen has no reader, but no control of it opens a menu either, and the next
// tap makes its choice.
void TouchTest::noContextMenuOnTheMainScreen()
{
    QVERIFY(QTest::qWaitForWindowExposed(mainscreen));
    for (QWidget *control : mainscreen->findChildren<QWidget *>()) {
        if (!control->isVisible())
            continue;
        rightClick(control);
        contextMenuKey(control);
        QVERIFY2(!QApplication::activePopupWidget(), qPrintable(control->objectName()));
    }
    tap(mainscreen, centreIn(mainscreen->Image2));
    QVERIFY(barcodescreen->isVisible());
}

// A screen large enough to show the exit areas, set before the application starts.
int main(int argc, char **argv)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("screen.json"));
    QFile config(path);
    if (!config.open(QIODevice::WriteOnly))
        return 1;
    config.write(R"({ "windowFrameMargins": false, "screens": [
        {"name": "kiosk", "x": 0, "y": 0, "width": 1280, "height": 1024} ] })");
    config.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + path.toLocal8Bit());
    QApplication app(argc, argv);
    TouchTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "touch_test.moc"
