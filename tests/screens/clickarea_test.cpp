#include "platform/errorreport.h"
#include "platform/errors.h"
#include "screens/clickarea.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTest>

#include <stdexcept>

// Errors that leave a click handler are shown by the click area itself. Qt's widget
// dispatch is built without exception support, so an error that travelled on through it
// would skip its clean-up; the events here go through the plain QApplication, which lets
// any escaping error reach the test.
class ClickAreaTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { platform::setErrorReporter({}); }
    void errorLeavingClickHandlerIsReportedAtTheArea_data();
    void errorLeavingClickHandlerIsReportedAtTheArea();
};

namespace {
// A press and release in the middle of the area, as the window system delivers them.
bool click(QWidget *area)
{
    const QPointF local = QRectF(area->rect()).center();
    const QPointF global = area->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    try {
        QApplication::sendEvent(area, &press);
        QApplication::sendEvent(area, &release);
    } catch (...) {
        return false;
    }
    return true;
}
} // namespace

void ClickAreaTest::errorLeavingClickHandlerIsReportedAtTheArea_data()
{
    QTest::addColumn<bool>("kioskError");
    QTest::newRow("KioskError") << true;
    QTest::newRow("std::exception") << false;
}

void ClickAreaTest::errorLeavingClickHandlerIsReportedAtTheArea()
{
    QFETCH(bool, kioskError);
    QStringList reported;
    platform::setErrorReporter([&](const QString &message) { reported << message; });

    ClickArea area;
    area.resize(40, 40);
    int started = 0;
    int finished = 0;
    bool fail = true;
    connect(&area, &ClickArea::clicked, &area, [&] {
        ++started;
        if (fail && kioskError)
            throw ConversionError(QStringLiteral("'x' is not a valid integer value"));
        if (fail)
            throw std::runtime_error("'x' is not a valid integer value");
        ++finished;
    });

    QVERIFY2(click(&area), "the error escaped into the event dispatch");
    QCOMPARE(reported, QStringList{QStringLiteral("'x' is not a valid integer value")});
    QCOMPARE(started, 1);
    QCOMPARE(finished, 0); // the handler's remaining steps are skipped

    // The area takes the next click as usual.
    fail = false;
    QVERIFY(click(&area));
    QCOMPARE(started, 2);
    QCOMPARE(finished, 1);
    QCOMPARE(reported.size(), 1);
}

QTEST_MAIN(ClickAreaTest)
#include "clickarea_test.moc"
