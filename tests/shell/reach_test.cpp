// The controls laid out beyond the 1024 x 768 design area on every screen shape, with and
// without --fit: the staff exit areas, the voucher screen's second return area and the
// server address footer. Registered once per shape and mode (tests/shell/CMakeLists.txt);
// ORVANTA_TEST_SCREEN gives the screen ("1920x1080"), ORVANTA_TEST_FIT=1 asks for --fit.
// The offscreen platform is given the screen's size on the command line, as fit_test does,
// so that --fit learns it as the kiosk does.

#include "shelltesting.h"

#include "screens/barcodescreen.h"
#include "screens/outercontrols.h"
#include "screens/rfidscreen.h"
#include "shell/kioskstart.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include "support/offscreenscreen.h"

#include <QFontMetrics>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>

#include <cmath>
#include <memory>
#include <vector>

namespace {

QSize g_shape;
bool g_fitted = false;

// The layouts' places for the controls, and the 1280 x 1024 screen they were placed for.
constexpr int kReferenceWidth = 1280;
constexpr int kReferenceHeight = 1024;

QWidget *windowNamed(const QString &name)
{
    if (name == QLatin1String("main"))
        return mainscreen;
    if (name == QLatin1String("voucher"))
        return barcodescreen;
    return rfidscreen;
}

void showWindow(const QString &name)
{
    mainscreen->show();
    if (name == QLatin1String("voucher"))
        mainscreen->Image2Click();
    else if (name == QLatin1String("card"))
        mainscreen->Image3Click();
}

// Where a control is on the screen, in the screen's own pixels.
QRectF onScreen(const QWidget *control)
{
    const qreal factor = control->devicePixelRatio();
    return {QPointF(control->mapToGlobal(QPoint(0, 0))) * factor, QSizeF(control->size()) * factor};
}

bool within(const QRectF &part, const QSize &screen)
{
    return part.left() >= 0 && part.top() >= 0 && part.right() <= screen.width() + 0.5 &&
           part.bottom() <= screen.height() + 0.5;
}

QString shapeName()
{
    return QStringLiteral("%1x%2%3")
        .arg(g_shape.width())
        .arg(g_shape.height())
        .arg(g_fitted ? QStringLiteral(" --fit") : QString());
}

} // namespace

class ReachTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<WindowSet> m_windows;

private slots:
    void init() { m_windows = std::make_unique<WindowSet>(writeSettings(m_dir)); }
    void cleanup() { m_windows.reset(); }

    void cornerControls_data()
    {
        // design: the layout's rectangle; left and bottom: its distance from the
        // bottom-left corner of a 1280 x 1024 screen.
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("design");
        QTest::newRow("main screen, exit area Image5") << "main"
                                                       << "Image5" << QRect(23, 899, 121, 117);
        QTest::newRow("main screen, exit area Image6") << "main"
                                                       << "Image6" << QRect(150, 960, 154, 56);
        QTest::newRow("voucher screen, return area Image1") << "voucher"
                                                            << "Image1" << QRect(32, 899, 105, 105);
    }

    // On the screen wherever the screen is larger than the design; under --fit at the
    // design's distance from the screen's bottom-left corner, scaled.
    void cornerControls()
    {
        QFETCH(QString, window);
        QFETCH(QString, control);
        QFETCH(QRect, design);
        showWindow(window);
        QWidget *shown = windowNamed(window);
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        auto *area = shown->findChild<QWidget *>(control);
        QVERIFY(area);
        const QRectF at = onScreen(area);
        const qreal factor = area->devicePixelRatio();
        qInfo("%s | %s | %s | %.0f, %.0f, %.0f x %.0f | %s", qPrintable(shapeName()),
              qPrintable(window), qPrintable(control), at.x(), at.y(), at.width(), at.height(),
              within(at, g_shape) ? "on the screen" : "off the screen");

        const bool designOnly = g_shape == QSize(1024, 768) && !g_fitted;
        QCOMPARE(within(at, g_shape), !designOnly);
        QCOMPARE(at.size(), QSizeF(design.size()) * factor);
        if (!g_fitted) {
            QCOMPARE(at.topLeft(), QPointF(design.topLeft()));
            return;
        }
        const qreal bottom = kReferenceHeight - (design.y() + design.height());
        QVERIFY2(std::abs(at.x() - design.x() * factor) <= 1, qPrintable(QString::number(at.x())));
        QVERIFY2(std::abs(g_shape.height() - at.bottom() - bottom * factor) <= 1.5,
                 qPrintable(QString::number(g_shape.height() - at.bottom())));
    }

    void footer_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QPoint>("design"); // the value's top left in the layout
        QTest::newRow("voucher screen, address") << "voucher"
                                                 << "Label4"
                                                 << "Label8"
                                                 << "127.0.0.1" << QPoint(1180, 984);
        QTest::newRow("voucher screen, port") << "voucher"
                                              << "Label7"
                                              << "Label9"
                                              << "50001" << QPoint(1180, 1003);
        QTest::newRow("card screen, address") << "card"
                                              << "Label2"
                                              << "Label8"
                                              << "127.0.0.1" << QPoint(1180, 984);
        QTest::newRow("card screen, port") << "card"
                                           << "Label7"
                                           << "Label9"
                                           << "50001" << QPoint(1180, 1003);
    }

    // Caption and value whole, apart and on the screen wherever it is larger than the
    // design; under --fit at the design's distance from the bottom-right corner.
    void footer()
    {
        QFETCH(QString, window);
        QFETCH(QString, caption);
        QFETCH(QString, value);
        QFETCH(QString, text);
        QFETCH(QPoint, design);
        showWindow(window);
        QWidget *shown = windowNamed(window);
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        auto *captionLabel = shown->findChild<QLabel *>(caption);
        auto *valueLabel = shown->findChild<QLabel *>(value);
        QVERIFY(captionLabel && valueLabel);
        const QRectF captionAt = onScreen(captionLabel);
        const QRectF valueAt = onScreen(valueLabel);
        const qreal factor = valueLabel->devicePixelRatio();
        qInfo("%s | %s | %s %s | caption %.0f..%.0f, value %.0f..%.0f, %.0f down | %s",
              qPrintable(shapeName()), qPrintable(window), qPrintable(caption), qPrintable(value),
              captionAt.left(), captionAt.right(), valueAt.left(), valueAt.right(), valueAt.top(),
              within(captionAt.united(valueAt), g_shape) ? "on the screen" : "off the screen");

        // Whole texts, the caption clear of its value.
        QCOMPARE(valueLabel->text(), text);
        QVERIFY(captionLabel->width() >=
                captionLabel->fontMetrics().horizontalAdvance(captionLabel->text()));
        QVERIFY(valueLabel->width() >= valueLabel->fontMetrics().horizontalAdvance(text));
        QVERIFY2(captionAt.right() + 2 * factor <= valueAt.left(),
                 qPrintable(QStringLiteral("caption ends at %1, value begins at %2")
                                .arg(captionAt.right())
                                .arg(valueAt.left())));
        QCOMPARE(std::abs(captionAt.center().y() - valueAt.center().y()) < 2 * factor, true);

        if (g_shape == QSize(1024, 768) && !g_fitted)
            return; // below the design's own screen, as the design has it
        QVERIFY(within(captionAt, g_shape));
        QVERIFY(within(valueAt, g_shape));
        if (g_fitted) {
            const qreal right = kReferenceWidth - design.x();
            const qreal bottom = kReferenceHeight - design.y();
            QVERIFY2(std::abs(g_shape.width() - valueAt.left() - right * factor) <= 1.5,
                     qPrintable(QString::number(valueAt.left())));
            QVERIFY2(std::abs(g_shape.height() - valueAt.top() - bottom * factor) <= 1.5,
                     qPrintable(QString::number(valueAt.top())));
        } else if (g_shape.width() >= kReferenceWidth) {
            QCOMPARE(valueAt.topLeft(), QPointF(design));
        }
    }

    // The longest address a host name line gives is elided within the screen, never drawn
    // over its caption.
    void longHostNameIsElided()
    {
        m_windows.reset();
        const QString path = m_dir.filePath(QStringLiteral("long.ini"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QString host =
            QStringLiteral("quillmark-range-server.clubhouse.example-driving-range.co.uk");
        file.write(host.toLatin1() + "\nquillmark-service-port\n.\n");
        file.close();
        m_windows = std::make_unique<WindowSet>(path);
        for (const QString &window : {QStringLiteral("voucher"), QStringLiteral("card")}) {
            showWindow(window);
            QWidget *shown = windowNamed(window);
            QVERIFY(QTest::qWaitForWindowExposed(shown));
            const bool voucher = window == QLatin1String("voucher");
            QLabel *caption = voucher ? barcodescreen->Label4 : rfidscreen->Label2;
            QLabel *value = voucher ? barcodescreen->Label8 : rfidscreen->Label8;
            QVERIFY2(value->text().contains(QChar(0x2026)), qPrintable(value->text()));
            QVERIFY(value->fontMetrics().horizontalAdvance(value->text()) <= value->width());
            QVERIFY(onScreen(caption).right() < onScreen(value).left());
            if (!(g_shape == QSize(1024, 768) && !g_fitted))
                QVERIFY(within(onScreen(value), g_shape));
            shown->hide();
        }
    }
};

int main(int argc, char **argv)
{
    const QList<QByteArray> size = qgetenv("ORVANTA_TEST_SCREEN").split('x');
    g_shape = size.size() == 2 ? QSize(size[0].toInt(), size[1].toInt()) : QSize(1280, 1024);
    g_fitted = qgetenv("ORVANTA_TEST_FIT") == "1";

    OffscreenScreenArguments args(argc, argv, g_shape);
    if (!args.isValid())
        return 2;

    if (g_fitted)
        prepareFit(args.count(), args.values());
    OuterControls::setFitted(g_fitted);
    Application app(args.count(), args.values());
    ReachTest test;
    return QTest::qExec(&test, args.count(), args.values());
}

#include "reach_test.moc"
