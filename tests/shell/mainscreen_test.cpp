#include "shelltesting.h"

#include "link/ipsend.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"
#include "support/shownpicture.h"

#include <QFontInfo>

#include <memory>

// The main screen inside the whole window set, as the kiosk runs it.
class MainScreenTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<WindowSet> m_windows;

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_windows = std::make_unique<WindowSet>(writeSettings(m_dir));
    }

    void cleanup() { m_windows.reset(); }

    // Steps: '5' and '6' double-click Image5 and Image6, 'c' single-clicks Image5.
    // endsAfter: the step after which the program has been told to end; 0 never.
    void exitGesture_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("endsAfter");
        QTest::newRow("four on Image5") << "5555" << 4;
        QTest::newRow("three on Image6, then Image5") << "6665" << 4;
        QTest::newRow("mixed, the fourth on Image5") << "5665" << 4;
        QTest::newRow("three are not enough") << "555" << 0;
        QTest::newRow("fourth on Image6 kills the gesture") << "55565555" << 0;
        QTest::newRow("four on Image6, then Image5") << "66665" << 0;
        QTest::newRow("single clicks count nothing") << "cccc5555" << 8;
    }

    void exitGesture()
    {
        QFETCH(QString, steps);
        QFETCH(int, endsAfter);
        mainscreen->show();

        // One step per pass of the loop, so that the loop ends right after the step that
        // asked for it and no later step is delivered.
        int delivered = 0;
        QTimer stepper;
        stepper.setInterval(0);
        connect(&stepper, &QTimer::timeout, this, [&] {
            if (delivered == steps.size()) {
                QCoreApplication::exit(-1);
                return;
            }
            const QChar step = steps.at(delivered++);
            if (step == QLatin1Char('5'))
                doubleClick(mainscreen->Image5);
            else if (step == QLatin1Char('6'))
                doubleClick(mainscreen->Image6);
            else
                click(mainscreen->Image5);
        });
        stepper.start();
        const int code = QApplication::exec();
        stepper.stop();

        if (endsAfter) {
            QCOMPARE(code, 0);
            QCOMPARE(delivered, endsAfter);
        } else {
            QCOMPARE(code, -1);
        }
    }

    void captionActsAsItsEmblem_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<bool>("opensBarcode");
        QTest::newRow("Barcode caption") << "Label1" << true;
        QTest::newRow("barcode emblem") << "Image2" << true;
        QTest::newRow("Members Card caption") << "Label2" << false;
        QTest::newRow("members card emblem") << "Image3" << false;
    }

    void captionActsAsItsEmblem()
    {
        QFETCH(QString, control);
        QFETCH(bool, opensBarcode);
        mainscreen->show();
        auto *target = mainscreen->findChild<QWidget *>(control);
        QVERIFY(target);

        click(target);

        QVERIFY(!mainscreen->isVisible());
        QCOMPARE(barcodescreen->isVisible(), opensBarcode);
        QCOMPARE(rfidscreen->isVisible(), !opensBarcode);
        // The choice ends the idle period for good: showing the screen again does not
        // start it anew.
        QVERIFY(!mainscreen->Timer2->isActive());
        barcodescreen->hide();
        rfidscreen->hide();
        mainscreen->show();
        QVERIFY(!mainscreen->Timer2->isActive());
    }

    void welcomeTextOnEveryShowing()
    {
        const QString welcome = QStringLiteral("Welcome to Orvanta / Quillmark Integration");
        QCOMPARE(mainscreen->Label4->text(), QStringLiteral("Welcome"));
        for (int showing = 1; showing <= 3; ++showing) {
            mainscreen->show();
            QCOMPARE(mainscreen->Label4->text(), welcome);
            mainscreen->Label4->setText(QStringLiteral("left over"));
            mainscreen->hide();
        }
    }

    // Century Gothic is rarely installed; the texts must not fall back to a default sans.
    void textsUseTheCenturyGothicStandIn()
    {
        for (QLabel *label :
             {static_cast<QLabel *>(mainscreen->Label1), static_cast<QLabel *>(mainscreen->Label2),
              mainscreen->Label4, mainscreen->Label5}) {
            label->ensurePolished();
            const QFontInfo used(label->font());
            QVERIFY2(used.family().startsWith(QStringLiteral("URW Gothic")),
                     qPrintable(label->objectName() + QStringLiteral(": ") + used.family()));
        }
    }

    // The hidden windows cost the main screen's first appearance nothing: neither their
    // style nor their pictures are worked out until they are shown.
    void hiddenWindowsWaitUntilShown()
    {
        QCoreApplication::processEvents();
        for (QWidget *window :
             std::initializer_list<QWidget *>{barcodescreen, rfidscreen, IPsend}) {
            QVERIFY2(!window->testAttribute(Qt::WA_WState_Polished),
                     qPrintable(window->objectName()));
            QVERIFY(!window->findChild<QLabel *>(QStringLiteral("bg")) ||
                    !pictureReady(window->findChild<QLabel *>(QStringLiteral("bg"))));
        }
        barcodescreen->show();
        QVERIFY(barcodescreen->testAttribute(Qt::WA_WState_Polished));
        QTRY_VERIFY(pictureReady(barcodescreen->bg));
    }

    void idleTickLeavesMainScreenShown()
    {
        QVERIFY(mainscreen->Timer2->isActive());
        QCOMPARE(mainscreen->Timer2->interval(), 20000);
        mainscreen->Timer2->setInterval(20);
        mainscreen->show();

        QTRY_VERIFY_WITH_TIMEOUT(!mainscreen->Timer2->isActive(), 5000);
        QVERIFY(mainscreen->isVisible());
        QTest::qWait(100);
        QVERIFY(mainscreen->isVisible());

        // The kiosk still serves the next customer.
        click(mainscreen->Image2);
        QVERIFY(barcodescreen->isVisible());
        QVERIFY(!mainscreen->isVisible());
    }
};

ORVANTA_SHELL_TEST_MAIN(MainScreenTest)
#include "mainscreen_test.moc"
