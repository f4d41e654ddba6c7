// The background picture kept in its window's backing store: what the store holds, which is
// what reaches the screen, must be what a label with the decoded picture would have drawn,
// through every change of the controls over it, and at --fit's fractional scale too (the
// second run of this test, with QT_SCALE_FACTOR set).
#include "screens/clickarea.h"
#include "screens/deferredlayout.h"
#include "screens/picture.h"
#include "screens/storedpicture.h"

#include <QBackingStore>
#include <QLabel>
#include <QPainter>
#include <QTest>
#include <QWidget>

#include <functional>
#include <memory>

namespace {

const QString kPicture = QStringLiteral(":/pictures/barcode_background.jpg");

// A screen as the layouts make them: a background over the design area and captions on it,
// the second one hidden at first.
struct Screen
{
    explicit Screen(bool stored)
    {
        window.setPalette(QPalette(QColor(0xd4, 0xd0, 0xc8)));
        window.setBackgroundRole(QPalette::Button);
        window.setAutoFillBackground(false);
        window.resize(1100, 800);
        background = new QLabel(&window);
        background->setGeometry(0, 0, 1024, 768);
        background->setProperty("picture", kPicture);
        caption = new QLabel(QStringLiteral("Please wait"), &window);
        caption->setStyleSheet(QStringLiteral("font: bold 40px; color: #000000;"));
        caption->move(300, 200);
        caption->adjustSize();
        later = new QLabel(QStringLiteral("Finished "), &window);
        later->setStyleSheet(QStringLiteral("font: 16px; color: #a00000;"));
        later->move(100, 600);
        later->adjustSize();
        later->hide();
        // A click area with a picture, as the offered bucket is: shown over the picture.
        bucket = new ClickArea(&window);
        bucket->setGeometry(220, 182, 127, 157);
        bucket->setProperty("picture", QStringLiteral(":/pictures/bucket_small.jpg"));
        bucket->hide();
        if (!stored)
            background->setPixmap(screens::loadPicture(kPicture, window.devicePixelRatioF()));
        // The bucket's picture either way; the decoded background above stays as it is.
        screens::finishLayout(&window, {});
    }

    QWidget window;
    QLabel *background = nullptr;
    QLabel *caption = nullptr;
    QLabel *later = nullptr;
    ClickArea *bucket = nullptr;
};

// What the window's store holds over the design area, as the screen shows it.
QImage storeContent(QWidget &window)
{
    QCoreApplication::processEvents();
    QPaintDevice *device = window.backingStore()->paintDevice();
    const auto *store = static_cast<const QImage *>(device);
    const qreal scale = window.devicePixelRatioF();
    const QRect design = QRectF(0, 0, 1024 * scale, 768 * scale).toAlignedRect();
    return store->copy(design).convertToFormat(QImage::Format_RGB32);
}

QString firstDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return QStringLiteral("sizes differ");
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                return QStringLiteral("pixel %1,%2: %3 against %4")
                    .arg(x)
                    .arg(y)
                    .arg(QColor(a.pixel(x, y)).name(), QColor(b.pixel(x, y)).name());
    return QString();
}

using Change = std::function<void(Screen &)>;

} // namespace

Q_DECLARE_METATYPE(Change)

class StoredPictureTest : public QObject
{
    Q_OBJECT
private slots:
    void storeShowsWhatTheDecodedPictureWould_data()
    {
        QTest::addColumn<bool>("ahead");
        QTest::addColumn<Change>("change");
        // Each change on a window shown at once, and on one prepared while hidden, as the
        // kiosk prepares its customer screens.
        for (const bool ahead : {false, true})
            addChanges(ahead);
    }

    void addChanges(bool ahead)
    {
        const char *const how = ahead ? "prepared hidden: " : "shown: ";
        const auto newRow = [&](const char *name) -> QTestData & {
            return QTest::newRow(qPrintable(QString::fromLatin1(how) + name)) << ahead;
        };
        newRow("as laid out") << Change([](Screen &) {});
        newRow("caption grows, then empties") << Change([](Screen &s) {
            s.caption->setText(QStringLiteral("Dispensing: 120"));
            s.caption->adjustSize();
            QCoreApplication::processEvents();
            s.caption->setText(QString());
        });
        newRow("bucket offered, then taken away") << Change([](Screen &s) {
            s.bucket->show();
            QCoreApplication::processEvents();
            s.bucket->hide();
        });
        newRow("caption hidden") << Change([](Screen &s) { s.caption->hide(); });
        newRow("hidden caption shown, moved, hidden") << Change([](Screen &s) {
            s.later->show();
            QCoreApplication::processEvents();
            s.later->move(500, 650);
            QCoreApplication::processEvents();
            s.later->hide();
        });
        newRow("caption moved onto fresh picture") << Change([](Screen &s) {
            s.caption->move(600, 400);
            QCoreApplication::processEvents();
            s.caption->setText(QStringLiteral("Voucher not valid"));
            s.caption->adjustSize();
        });
        newRow("hidden, changed, shown again") << Change([](Screen &s) {
            s.window.hide();
            s.caption->setText(QStringLiteral("Welcome"));
            s.caption->adjustSize();
            s.later->show();
            s.window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&s.window));
        });
        newRow("window resized") << Change([](Screen &s) {
            s.window.resize(1200, 900);
            QCoreApplication::processEvents();
            s.caption->setText(QStringLiteral("Finished "));
        });
    }

    void storeShowsWhatTheDecodedPictureWould()
    {
        QFETCH(bool, ahead);
        QFETCH(Change, change);
        auto stored = std::make_unique<Screen>(true);
        if (ahead) {
            screens::prepareAhead(&stored->window);
            QVERIFY(stored->background->findChild<StoredPicture *>()->held());
        }
        auto decoded = std::make_unique<Screen>(false);
        for (Screen *screen : {stored.get(), decoded.get()}) {
            screen->window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&screen->window));
        }
        auto *picture = stored->background->findChild<StoredPicture *>();
        QVERIFY(picture);
        QTRY_VERIFY(picture->held());
        QVERIFY(stored->background->pixmap().isNull());

        change(*stored);
        change(*decoded);
        const QImage expected = storeContent(decoded->window);
        const QImage shown = storeContent(stored->window);
        const QString difference = firstDifference(shown, expected);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        // A screenshot of the window shows the same.
        const QString grabbed = firstDifference(stored->window.grab(QRect(0, 0, 1024, 768))
                                                    .toImage()
                                                    .convertToFormat(QImage::Format_RGB32),
                                                decoded->window.grab(QRect(0, 0, 1024, 768))
                                                    .toImage()
                                                    .convertToFormat(QImage::Format_RGB32));
        QVERIFY2(grabbed.isEmpty(), qPrintable(grabbed));
        // Decoded once: a second time only for the new store of a new size.
        QCOMPARE(picture->decodes(),
                 QTest::currentDataTag() == QByteArrayLiteral("shown: window resized") ||
                         QTest::currentDataTag() ==
                             QByteArrayLiteral("prepared hidden: window resized")
                     ? 2
                     : 1);
        // Beside the store, only the areas under the captions are kept.
        QVERIFY2(picture->keptBytes() * 8 < expected.sizeInBytes(),
                 qPrintable(QString::number(picture->keptBytes())));
    }

    // Beyond the design area the window shows its plain colour, not the picture or garbage.
    void plainColourBesideThePicture()
    {
        Screen screen(true);
        screen.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&screen.window));
        const QImage drawn = screen.window.grab().toImage();
        const QColor plain(0xd4, 0xd0, 0xc8);
        QCOMPARE(QColor(drawn.pixel(drawn.width() - 2, 10)), plain);
        QCOMPARE(QColor(drawn.pixel(10, drawn.height() - 2)), plain);
    }
};

QTEST_MAIN(StoredPictureTest)
#include "storedpicture_test.moc"
