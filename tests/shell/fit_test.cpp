#include "shelltesting.h"

#include "screens/barcodescreen.h"
#include "screens/picture.h"
#include "shell/kioskstart.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include "support/offscreenscreen.h"
#include "support/shownpicture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>

#include <cstdlib>
#include <vector>

namespace {

constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;
constexpr qreal kFactor = 1080.0 / 768.0; // 1.40625

// The mean difference per colour channel between two pictures of the same size.
double difference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto *p = reinterpret_cast<const QRgb *>(x.constScanLine(row));
        const auto *q = reinterpret_cast<const QRgb *>(y.constScanLine(row));
        for (int column = 0; column < x.width(); ++column) {
            sum += std::abs(qRed(p[column]) - qRed(q[column])) +
                   std::abs(qGreen(p[column]) - qGreen(q[column])) +
                   std::abs(qBlue(p[column]) - qBlue(q[column]));
        }
    }
    return sum / (3.0 * x.width() * x.height());
}

} // namespace

// --fit on a 1920 x 1080 screen (the offscreen platform, told the size on the command
// line): the whole design is scaled so that its height fills the screen's, and the
// pictures are drawn sharp at that size.
class FitTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void factorFillsTheScreenWithoutCuttingTheDesign_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<qreal>("factor");
        QTest::newRow("the design's own size") << QSize(1024, 768) << 1.0;
        QTest::newRow("16:9, 1080 high: the height fills") << QSize(1920, 1080) << 1.40625;
        QTest::newRow("16:10, 1200 high") << QSize(1920, 1200) << 1.5625;
        QTest::newRow("4K") << QSize(3840, 2160) << 2.8125;
        // Filling the height here would cut off the balance and the entry boxes on the
        // right: the width bounds the design first.
        QTest::newRow("5:4, narrower than the design") << QSize(1280, 1024) << 1.25;
        QTest::newRow("smaller than the design") << QSize(800, 600) << 0.78125;
        QTest::newRow("no screen") << QSize() << 1.0;
    }

    void factorFillsTheScreenWithoutCuttingTheDesign()
    {
        QFETCH(QSize, screen);
        QFETCH(qreal, factor);
        QCOMPARE(fitFactor(screen), factor);
    }

    // Fonts, positions, click areas and pictures scale together, through Qt's own
    // scaling: the program keeps working in design pixels.
    void wholeKioskScalesToTheScreen()
    {
        WindowSet windows(writeSettings(m_dir));
        showFirstScreen(KioskOptions());
        QVERIFY(QTest::qWaitForWindowExposed(mainscreen));

        QCOMPARE(mainscreen->devicePixelRatio(), kFactor);
        QCOMPARE(mainscreen->screen()->geometry().height(), 768);
        QCOMPARE(mainscreen->Image1->geometry(), QRect(0, 0, 1024, 768));
        QCOMPARE(mainscreen->Label1->font().pixelSize(), 37);

        QTRY_VERIFY(pictureReady(mainscreen->Image1));
        const QPixmap background =
            screens::loadPicture(mainscreen->Image1->property("picture").toString(), kFactor);
        QCOMPARE(background.size(), QSize(1440, 1080));
        QCOMPARE(background.devicePixelRatio(), kFactor);

        // The label draws it pixel for pixel: what reaches the screen is the picture.
        const QImage drawn = mainscreen->grab(QRect(0, 0, 1024, 768)).toImage();
        QCOMPARE(drawn.size(), QSize(1440, 1080));
        const QRect corner(0, 0, 160, 90); // clear of every caption
        QCOMPARE(drawn.copy(corner).convertToFormat(QImage::Format_RGB32),
                 background.toImage().copy(corner).convertToFormat(QImage::Format_RGB32));
    }

    void picturesAreSharpAtTheFactor_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("design");
        QTest::newRow("main background") << ":/pictures/main_background.jpg" << QSize(1024, 768);
        QTest::newRow("small bucket") << ":/pictures/bucket_small.jpg" << QSize(127, 157);
    }

    void picturesAreSharpAtTheFactor()
    {
        QFETCH(QString, path);
        QFETCH(QSize, design);
        const QPixmap sharp = screens::loadPicture(path, kFactor);
        const QSize device(qRound(design.width() * kFactor), qRound(design.height() * kFactor));
        QCOMPARE(sharp.size(), device);
        QCOMPARE(sharp.devicePixelRatio(), kFactor);
        // Still the layout's size, so the label and the pictures beside it line up.
        QCOMPARE(sharp.deviceIndependentSize().toSize(), design);

        // Against the finest rendering there is, brought to the same size: the sharp
        // picture is much closer to it than what Qt would draw from the design-size one,
        // the same picture stretched.
        QString finest = path;
        finest.insert(finest.lastIndexOf(QLatin1Char('.')), QStringLiteral("@3x"));
        const QImage reference =
            QImage(finest).scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QImage stretched =
            QImage(path).scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const double sharpError = difference(sharp.toImage(), reference);
        const double stretchedError = difference(stretched, reference);
        QVERIFY2(sharpError < 0.75 * stretchedError,
                 qPrintable(QStringLiteral("%1 against %2").arg(sharpError).arg(stretchedError)));
    }

    // Without --fit nothing changes: the pictures are the files as they stand.
    void designSizeTakesThePictureAsItIs()
    {
        const QString path = QStringLiteral(":/pictures/barcode_background.jpg");
        const QPixmap picture = screens::loadPicture(path, 1.0);
        QCOMPARE(picture.devicePixelRatio(), 1.0);
        QCOMPARE(picture.toImage(), QPixmap(path).toImage());
    }

    // A whole factor takes its variant as it is, without resampling.
    void wholeFactorTakesItsVariant()
    {
        const QPixmap picture =
            screens::loadPicture(QStringLiteral(":/pictures/card_background.jpg"), 2.0);
        QCOMPARE(picture.devicePixelRatio(), 2.0);
        QCOMPARE(picture.toImage().convertToFormat(QImage::Format_RGB32),
                 QImage(QStringLiteral(":/pictures/card_background@2x.jpg"))
                     .convertToFormat(QImage::Format_RGB32));
    }
};

// The screen's size is given as the platform option on the command line, as a technician
// would give -platform: the probe that learns the size must leave it to the real
// application object too.
int main(int argc, char **argv)
{
    OffscreenScreenArguments args(argc, argv, QSize(kScreenWidth, kScreenHeight));
    if (!args.isValid())
        return 2;

    prepareFit(args.count(), args.values());
    Application app(args.count(), args.values());
    FitTest test;
    return QTest::qExec(&test, args.count(), args.values());
}

#include "fit_test.moc"
