// Whole texts on the customer screens, on a screen of the size that ORVANTA_TEST_SCREEN
// gives ("1280x1024"; the design's 1024x768 without it), scaled as the kiosk's --fit
// scales it when ORVANTA_TEST_FIT is set: every text of both screens shows whole, with
// nothing drawn over its letters; the selected "waiting..." draws in the box's own colours;
// the link test window opens clear of the customer's controls where the screen has room.
// The real windows on the offscreen platform, told the screen's size on the command line.

#include "barcodekiosk.h"
#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/application.h"
#include "shell/kioskstart.h"
#include "shell/linktestwindow.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include "support/offscreenscreen.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMap>
#include <QScreen>
#include <QStyleHints>

#include <cmath>
#include <memory>
#include <vector>

enum class Screen { Voucher, Card };
Q_DECLARE_METATYPE(Screen)

namespace {

const QByteArray kData = R"({
    "prices": [ {"balls": 5, "price": "20.00"}, {"balls": 8, "price": "35.00"},
                {"balls": 12, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"} ],
    "vouchers": [ {"number": "900040", "balls": 40, "used": false} ],
    "faults": {} })";

QWidget *window(Screen screen)
{
    return screen == Screen::Voucher ? static_cast<QWidget *>(barcodescreen)
                                     : static_cast<QWidget *>(rfidscreen);
}

QLineEdit *entryBox(Screen screen)
{
    return screen == Screen::Voucher ? barcodescreen->edbarcode : rfidscreen->edcardno;
}

void open(Screen screen)
{
    if (screen == Screen::Voucher)
        mainscreen->Image2Click();
    else
        mainscreen->Image3Click();
    QVERIFY(QTest::qWaitForWindowExposed(window(screen)));
}

// The reader's number and Enter; the server accepts it and the screen makes its offer.
void readAccepted(Screen screen)
{
    QLineEdit *box = entryBox(screen);
    QTest::keyClicks(box, screen == Screen::Voucher ? "900040" : "12345678");
    QTest::keyClick(box, Qt::Key_Return);
    if (screen == Screen::Voucher)
        QTRY_COMPARE(barcodescreen->choices, 1);
    else
        QTRY_COMPARE(rfidscreen->choices, 3);
}

QImage rendered(QWidget *screen, const QRect &part)
{
    return screen->grab(part).toImage().convertToFormat(QImage::Format_RGB32);
}

// The pixels of the control's part of the screen where the control's own letters show
// (with every control stacked above it, later among the screen's children, out of the way)
// but the screen as drawn shows something else: the letters that something covers.
int coveredPixels(QWidget *control)
{
    QWidget *screen = control->window();
    const QRect part = control->geometry();
    const QImage drawn = rendered(screen, part);
    QList<QWidget *> above;
    const auto children = screen->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (qsizetype i = children.indexOf(control) + 1; i < children.size(); ++i) {
        QWidget *other = children.at(i);
        if (other->isVisible() && other->geometry().intersects(part))
            above << other;
    }
    for (QWidget *other : above)
        other->setVisible(false);
    const QImage alone = rendered(screen, part);
    control->setVisible(false);
    const QImage beneath = rendered(screen, part);
    control->setVisible(true);
    for (QWidget *other : above)
        other->setVisible(true);
    // A boxed text's own box is not a letter: what lies over its blank part covers nothing.
    const QColor box = control->palette().color(control->backgroundRole());
    int covered = 0;
    for (int y = 0; y < alone.height(); ++y) {
        for (int x = 0; x < alone.width(); ++x) {
            const bool own = alone.pixel(x, y) != beneath.pixel(x, y) &&
                             !(box.alpha() == 255 && alone.pixel(x, y) == box.rgb());
            covered += own && drawn.pixel(x, y) != alone.pixel(x, y);
        }
    }
    return covered;
}

// How far a colour lies from every blend of two others (0 to 255 a channel).
double offBlend(QRgb colour, QRgb a, QRgb b)
{
    const double d[3] = {double(qRed(b) - qRed(a)), double(qGreen(b) - qGreen(a)),
                         double(qBlue(b) - qBlue(a))};
    const double p[3] = {double(qRed(colour) - qRed(a)), double(qGreen(colour) - qGreen(a)),
                         double(qBlue(colour) - qBlue(a))};
    const double length = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    double t = length > 0 ? (p[0] * d[0] + p[1] * d[1] + p[2] * d[2]) / length : 0;
    t = std::clamp(t, 0.0, 1.0);
    double distance = 0;
    for (int i = 0; i < 3; ++i)
        distance = std::max(distance, std::abs(p[i] - t * d[i]));
    return distance;
}

} // namespace

class WholeTextsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<barcodetest::Kiosk> m_kiosk;

private slots:
    void init()
    {
        m_kiosk = std::make_unique<barcodetest::Kiosk>(kData);
        mainscreen->show();
        QVERIFY(QTest::qWaitForWindowExposed(mainscreen));
    }
    void cleanup() { m_kiosk.reset(); }

    // Each text of each customer screen, as the screen opens and with its offer up. The
    // footer beyond the design area is left to its own test.
    void textShowsWhole_data()
    {
        QTest::addColumn<Screen>("screen");
        QTest::addColumn<bool>("offer");
        QTest::addColumn<QString>("control");
        const QStringList voucher{
            "Label1", "Label2", "sbtext", "Label5", "Label3", "lblAccountBalance", "edbarcode"};
        const QStringList card{"stext",  "mtext",          "ltext",
                               "Label5", "Label3",         "Label6",
                               "Label4", "lblAccountType", "lblAccountBalance",
                               "label1", "edcardno"};
        for (const bool offer : {false, true}) {
            for (const QString &name : voucher)
                QTest::addRow("voucher, %s, %s", offer ? "offer" : "waiting", qPrintable(name))
                    << Screen::Voucher << offer << name;
            for (const QString &name : card)
                QTest::addRow("card, %s, %s", offer ? "offer" : "waiting", qPrintable(name))
                    << Screen::Card << offer << name;
        }
    }

    void textShowsWhole()
    {
        QFETCH(Screen, screen);
        QFETCH(bool, offer);
        QFETCH(QString, control);
        open(screen);
        if (offer)
            readAccepted(screen);
        auto *shown = window(screen)->findChild<QWidget *>(control);
        QVERIFY(shown);
        QVERIFY(shown->isVisible());
        if (shown->property("text").toString().isEmpty())
            QSKIP("no text in this state");
        const int covered = coveredPixels(shown);
        QVERIFY2(covered == 0, qPrintable(QStringLiteral("%1 pixels of %2 (\"%3\") covered")
                                              .arg(covered)
                                              .arg(control, shown->property("text").toString())));
    }

    // The selection that lets the reader's first character replace "waiting..." stays, drawn
    // in the box's red on white: every pixel of the box is a blend of those two.
    void selectionDrawsInTheBoxColours_data()
    {
        QTest::addColumn<Screen>("screen");
        QTest::newRow("voucher") << Screen::Voucher;
        QTest::newRow("card") << Screen::Card;
    }

    void selectionDrawsInTheBoxColours()
    {
        QFETCH(Screen, screen);
        open(screen);
        QLineEdit *box = entryBox(screen);
        QCOMPARE(box->selectedText(), QStringLiteral("waiting..."));
        const QPalette palette = box->palette();
        const QRgb text = palette.color(QPalette::Text).rgb();
        const QRgb background = palette.color(QPalette::Base).rgb();
        QCOMPARE(text, qRgb(255, 0, 0));
        QCOMPARE(background, qRgb(255, 255, 255));
        const QImage drawn = box->grab().toImage().convertToFormat(QImage::Format_RGB32);
        int textPixels = 0;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                const QRgb pixel = drawn.pixel(x, y);
                QVERIFY2(offBlend(pixel, text, background) <= 16,
                         qPrintable(QStringLiteral("pixel %1,%2 is %3")
                                        .arg(x)
                                        .arg(y)
                                        .arg(QColor(pixel).name())));
                textPixels += qGreen(pixel) < 128;
            }
        }
        // The text itself is there, in red.
        QVERIFY(textPixels > 50);
    }

    // No text cursor blinks beside the selection: through more than a whole blink, no frame
    // of the box has a dark pixel (the cursor is drawn inverted, black on the white box).
    void noTextCursorBesideTheSelection_data() { selectionDrawsInTheBoxColours_data(); }

    void noTextCursorBesideTheSelection()
    {
        QFETCH(Screen, screen);
        open(screen);
        QLineEdit *box = entryBox(screen);
        QVERIFY(box->hasFocus());
        QCOMPARE(box->selectedText(), QStringLiteral("waiting..."));
        const int blink = qMax(QGuiApplication::styleHints()->cursorFlashTime(), 200);
        // Frames a tenth of a blink apart, for more than a whole blink however long each
        // look takes (a sanitizer build is slow at it).
        QElapsedTimer clock;
        clock.start();
        for (int frame = 0; frame < 13 || clock.elapsed() < blink * 1.25; ++frame) {
            const QImage drawn = box->grab().toImage().convertToFormat(QImage::Format_RGB32);
            for (int y = 0; y < drawn.height(); ++y) {
                const auto *line = reinterpret_cast<const QRgb *>(drawn.constScanLine(y));
                for (int x = 0; x < drawn.width(); ++x) {
                    const QRgb pixel = line[x];
                    if (std::max({qRed(pixel), qGreen(pixel), qBlue(pixel)}) >= 80)
                        continue;
                    QFAIL(qPrintable(QStringLiteral("frame %1: pixel %2,%3 is %4")
                                         .arg(frame)
                                         .arg(x)
                                         .arg(y)
                                         .arg(QColor(pixel).name())));
                }
            }
            QTest::qWait(blink / 10);
        }
    }

    void clearPlace_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QList<QRect>>("main");   // ranks first
        QTest::addColumn<QList<QRect>>("others"); // ranks second
        QTest::addColumn<QPoint>("place");
        const QRect wide(0, 0, 1920, 1080);
        QTest::newRow("nothing in the way: the top right corner, beyond the design")
            << wide << QList<QRect>{} << QList<QRect>{} << QPoint(1220, 0);
        QTest::newRow("a control there: below it, still beyond the design")
            << wide << QList<QRect>{} << QList<QRect>{{1800, 0, 120, 100}} << QPoint(1220, 100);
        QTest::newRow("a footer beyond the design: above it")
            << wide << QList<QRect>{} << QList<QRect>{{1094, 984, 290, 40}} << QPoint(1220, 0);
        // No room beyond the design area: the least of the controls, then of the design.
        QTest::newRow("no room: the free corner")
            << QRect(0, 0, 1024, 768) << QList<QRect>{}
            << QList<QRect>{{0, 0, 300, 300}, {700, 600, 300, 100}} << QPoint(324, 0);
        QTest::newRow("the main screen's controls before the others'")
            << QRect(0, 0, 1400, 600) << QList<QRect>{{0, 0, 700, 600}}
            << QList<QRect>{{700, 0, 700, 300}} << QPoint(700, 100);
        QTest::newRow("larger than the screen: its top left corner")
            << QRect(0, 0, 600, 400) << QList<QRect>{} << QList<QRect>{} << QPoint(0, 0);
    }

    void clearPlace()
    {
        QFETCH(QRect, area);
        QFETCH(QList<QRect>, main);
        QFETCH(QList<QRect>, others);
        QFETCH(QPoint, place);
        QCOMPARE(
            linktest::clearPlace(area, QSize(700, 500), {main, others}, QRect(0, 0, 1024, 768)),
            place);
    }

    // Placed as --link-test places it: where the screen has room beyond the design area it
    // covers none of the controls of the three screens; where it has not, none of the main
    // screen's as far as the screen allows; within the screen always.
    void linkTestWindowOpensClearOfTheControls()
    {
        const QString shape = QString::fromLocal8Bit(qgetenv("ORVANTA_TEST_SCREEN")) +
                              (qEnvironmentVariableIsEmpty("ORVANTA_TEST_FIT") ? "" : " fit");
        enum Clear { WithinTheScreen, MainScreenClear, AllClear };
        const QMap<QString, Clear> expected{{"", WithinTheScreen},
                                            {" fit", WithinTheScreen},
                                            {"1280x1024", MainScreenClear},
                                            {"1920x1080", AllClear},
                                            {"1280x1024 fit", WithinTheScreen},
                                            {"1920x1080 fit", WithinTheScreen}};
        QVERIFY2(expected.contains(shape), qPrintable(shape));
        KioskOptions options;
        options.linkTest = true;
        showFirstScreen(options);
        QVERIFY(QTest::qWaitForWindowExposed(IPsend));
        const QRect area = mainscreen->screen()->geometry();
        QTRY_VERIFY(area.contains(IPsend->frameGeometry()));
        const QRect frame = IPsend->frameGeometry();
        const QList<QList<QRect>> controls =
            linktest::customerControls({mainscreen, barcodescreen, rfidscreen}, area);
        QCOMPARE(controls.size(), 3);
        QVERIFY(controls.at(0).size() >= 8); // the main screen's choices, texts, exit areas
        const auto covered = [&frame](const QList<QRect> &rects) {
            return std::count_if(rects.begin(), rects.end(),
                                 [&frame](const QRect &r) { return frame.intersects(r); });
        };
        if (expected.value(shape) >= MainScreenClear)
            QCOMPARE(covered(controls.at(0)), 0);
        if (expected.value(shape) == AllClear) {
            QCOMPARE(covered(controls.at(1)) + covered(controls.at(2)), 0);
            QVERIFY(!frame.intersects(QRect(area.topLeft(), QSize(1024, 768))));
        }
        IPsend->hide();
    }
};

// The screen's size goes to the offscreen platform on the command line; --fit's scaling is
// set up as the kiosk sets it up.
int main(int argc, char **argv)
{
    const QByteArray wanted = qgetenv("ORVANTA_TEST_SCREEN");
    const QList<QByteArray> size = (wanted.isEmpty() ? QByteArray("1024x768") : wanted).split('x');
    if (size.size() != 2)
        return 2;
    OffscreenScreenArguments args(argc, argv, QSize(size.at(0).toInt(), size.at(1).toInt()));
    if (!args.isValid())
        return 2;

    if (!qgetenv("ORVANTA_TEST_FIT").isEmpty())
        prepareFit(args.count(), args.values());
    Application app(args.count(), args.values());
    WholeTextsTest test;
    return QTest::qExec(&test, args.count(), args.values());
}

#include "wholetexts_test.moc"
