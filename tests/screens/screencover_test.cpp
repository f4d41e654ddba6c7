// ScreenCover where the screens change under a window: on the offscreen platform with two
// screens of different sizes, a window that moves to the other screen, or whose screen
// reports a new size, covers its screen again. (fullscreen_test covers the real X server.)

#include "screens/screencover.h"

#include <QApplication>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <QWindow>

class ScreenCoverTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCOMPARE(QGuiApplication::screens().size(), 2); }

    void coversTheScreenItIsOn()
    {
        QWidget window(nullptr, Qt::Window | Qt::FramelessWindowHint);
        window.setGeometry(0, 0, 1024, 768); // as a layout gives it
        new ScreenCover(&window);
        // As the kiosk starts its main screen: a plain request for the maximised state.
        window.showMaximized();
        QScreen *first = QGuiApplication::screens().at(0);
        QCOMPARE(window.screen(), first);
        QCOMPARE(window.geometry(), first->geometry());
        QVERIFY(window.windowState() & Qt::WindowMaximized);
        QVERIFY(window.windowState() & Qt::WindowFullScreen);

        // On the other screen, and when that one reports a new size after someone placed the
        // window elsewhere.
        QScreen *second = QGuiApplication::screens().at(1);
        window.windowHandle()->setScreen(second);
        QTRY_COMPARE(window.geometry(), second->geometry());
        window.setGeometry(second->geometry().adjusted(100, 100, -100, -100));
        emit second->geometryChanged(second->geometry());
        QCOMPARE(window.geometry(), second->geometry());
        QVERIFY(window.windowState() & Qt::WindowMaximized);
        QVERIFY(window.windowState() & Qt::WindowFullScreen);

        // A minimised window is left alone until it is restored.
        window.setWindowState(window.windowState() | Qt::WindowMinimized);
        QVERIFY(window.windowState() & Qt::WindowMinimized);
    }
};

// Two screens side by side, set before the application starts.
int main(int argc, char **argv)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("screens.json"));
    QFile config(path);
    if (!config.open(QIODevice::WriteOnly))
        return 1;
    config.write(R"({ "windowFrameMargins": false, "screens": [
        {"name": "first", "x": 0, "y": 0, "width": 1280, "height": 1024},
        {"name": "second", "x": 1280, "y": 0, "width": 1920, "height": 1080} ] })");
    config.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + path.toLocal8Bit());
    QApplication app(argc, argv);
    ScreenCoverTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "screencover_test.moc"
