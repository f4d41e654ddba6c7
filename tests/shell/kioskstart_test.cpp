#include "shelltesting.h"

#include "link/ipsend.h"
#include "platform/errors.h"
#include "platform/singleinstanceguard.h"
#include "screens/barcodescreen.h"
#include "screens/clickarea.h"
#include "screens/rfidscreen.h"
#include "shell/kioskstart.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>

#include <stdexcept>

// The program's start and end, and how errors that leave a handler are shown. The guard
// name is one of the test's own, so that a kiosk running on this machine does not matter.
class KioskStartTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_settings;

    static QString guardName()
    {
        return QStringLiteral("Orvanta_IsRunning_start_test_%1")
            .arg(QCoreApplication::applicationPid());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_settings = writeSettings(m_dir);
    }

    // By hand a refused copy ends as it always did; under a systemd service (which sets
    // INVOCATION_ID, and RUNTIME_DIRECTORY for the kiosk's unit) it ends as a failure, so that
    // Restart=on-failure tries again rather than taking the refusal for a wanted end.
    void refusedCopyShowsInformationAndCreatesNoWindow_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("started by hand") << QByteArray() << 0;
        QTest::newRow("under a service") << QByteArray("INVOCATION_ID") << 1;
        QTest::newRow("under the kiosk's unit") << QByteArray("RUNTIME_DIRECTORY") << 1;
    }

    void refusedCopyShowsInformationAndCreatesNoWindow()
    {
        QFETCH(QByteArray, variable);
        QFETCH(int, exitCode);
        const QByteArray invocation = qgetenv("INVOCATION_ID");
        const QByteArray runtime = qgetenv("RUNTIME_DIRECTORY");
        const auto restore = qScopeGuard([&] {
            qputenv("INVOCATION_ID", invocation);
            qputenv("RUNTIME_DIRECTORY", runtime);
            if (invocation.isNull())
                qunsetenv("INVOCATION_ID");
            if (runtime.isNull())
                qunsetenv("RUNTIME_DIRECTORY");
        });
        qunsetenv("INVOCATION_ID");
        qunsetenv("RUNTIME_DIRECTORY");
        // The guard is taken before the variable is set, so both sit in the same folder.
        const platform::SingleInstanceGuard runningCopy(guardName());
        if (!variable.isEmpty())
            qputenv(variable.constData(),
                    variable == "RUNTIME_DIRECTORY"
                        ? QFile::encodeName(QFileInfo(runningCopy.path()).absolutePath())
                        : QByteArray("0123456789abcdef"));
        QVERIFY(runningCopy.held());
        BoxWatcher boxes;
        // A start that is wrongly let through runs the kiosk's event loop, which nothing
        // here would end: its first pass ends it, so that the test fails at once.
        QObject context;
        QTimer::singleShot(0, &context, [] {
            if (mainscreen)
                QCoreApplication::exit(42);
        });
        QTimer::singleShot(10000, &context, [] { QCoreApplication::exit(43); });

        QCOMPARE(runKiosk(KioskOptions{}, guardName(), m_settings), exitCode);

        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen.first().summary(),
                 QStringLiteral("information | Information | "
                                "Orvanta Is Starting Or Already Running | OK"));
        QCOMPARE(boxes.seen.first().topLevelWindows, 1);
        QVERIFY(mainscreen == nullptr);
    }

    void startShowsMainScreenAndClosingItEnds_data()
    {
        QTest::addColumn<bool>("linkTest");
        QTest::newRow("kiosk") << false;
        QTest::newRow("with the link test window") << true;
    }

    // With the link test window open the main window is not the last one, so only the
    // main screen's close handler can end the program.
    void startShowsMainScreenAndClosingItEnds()
    {
        QFETCH(bool, linkTest);
        KioskOptions options;
        options.linkTest = linkTest;

        bool observed = false;
        QObject context;
        QTimer::singleShot(0, &context, [&] {
            observed = true;
            // A check that fails here ends the loop too, rather than leaving it to the bound.
            const auto endOnFailure = qScopeGuard([] {
                if (QTest::currentTestFailed())
                    QCoreApplication::exit(42);
            });
            QVERIFY(mainscreen && barcodescreen && rfidscreen && IPsend);
            QVERIFY(mainscreen->isVisible());
            QVERIFY(mainscreen->windowState() & Qt::WindowMaximized);
            QVERIFY(mainscreen->windowFlags() & Qt::FramelessWindowHint);
            QCOMPARE(mainscreen->windowTitle(), QStringLiteral("Orvanta"));
            QVERIFY(!barcodescreen->isVisible());
            QVERIFY(!rfidscreen->isVisible());
            QCOMPARE(IPsend->isVisible(), linkTest);
            QVERIFY(platform::SingleInstanceGuard(guardName()).alreadyRunning());
            mainscreen->close();
        });
        QTimer::singleShot(10000, &context, [] { QCoreApplication::exit(42); });

        QCOMPARE(runKiosk(options, guardName(), m_settings), 0);
        QVERIFY(observed);
        QVERIFY(mainscreen == nullptr);
        QVERIFY(platform::SingleInstanceGuard(guardName()).held());
    }

    void quitWhenShownEndsByItself()
    {
        KioskOptions options;
        options.quitWhenShown = true;
        QObject context;
        QTimer::singleShot(10000, &context, [] { QCoreApplication::exit(42); });
        QCOMPARE(runKiosk(options, guardName(), m_settings), 0);
    }

    void errorLeavingHandlerIsShownAndLoopGoesOn_data()
    {
        QTest::addColumn<QString>("source");
        QTest::newRow("KioskError from a timer tick") << "timer";
        QTest::newRow("KioskError from a click") << "click";
        QTest::newRow("std::exception from a timer tick") << "std";
    }

    void errorLeavingHandlerIsShownAndLoopGoesOn()
    {
        QFETCH(QString, source);
        QWidget window;
        auto *area = new ClickArea(&window);
        area->resize(50, 50);
        connect(area, &ClickArea::clicked, &window,
                [] { throw FileError(QStringLiteral("Cannot open config.ini")); });

        BoxWatcher boxes;
        QObject context;
        QTimer::singleShot(0, &context, [&] {
            if (source == QLatin1String("click")) {
                click(area);
                return;
            }
            if (source == QLatin1String("std"))
                throw std::runtime_error("Cannot open config.ini");
            throw ConversionError(QStringLiteral("Cannot open config.ini"));
        });
        // The loop is still serving after the box: this later tick ends it.
        QTimer carryOn;
        carryOn.setInterval(10);
        connect(&carryOn, &QTimer::timeout, &context, [&] {
            if (!boxes.seen.isEmpty() && !QApplication::activeModalWidget())
                QCoreApplication::exit(0);
        });
        carryOn.start();
        QTimer::singleShot(10000, &context, [] { QCoreApplication::exit(42); });

        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen.first().summary(),
                 QStringLiteral("error | Orvanta | Cannot open config.ini | OK"));
    }

    void helpListsTheOptionsWithoutDisplay()
    {
        QProcess orvanta;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        orvanta.setProcessEnvironment(env);
        orvanta.start(QStringLiteral(ORVANTA_EXE), {QStringLiteral("--help")});
        QVERIFY(orvanta.waitForFinished(10000));
        QCOMPARE(orvanta.exitCode(), 0);
        const QString help = QString::fromLocal8Bit(orvanta.readAllStandardOutput());
        QVERIFY2(help.contains(QStringLiteral("--link-test")), qPrintable(help));
        QVERIFY(help.contains(QStringLiteral("link test window for technicians")));
        QVERIFY(help.contains(QStringLiteral("--quit-when-shown")));
        QVERIFY(help.contains(QStringLiteral("--fit")));
    }
};

ORVANTA_SHELL_TEST_MAIN(KioskStartTest)
#include "kioskstart_test.moc"
