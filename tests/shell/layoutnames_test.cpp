#include "shelltesting.h"

#include "shell/windowset.h"

#include <QTimer>

// Tools and tests find the kiosk's objects by the names of the stored layouts: each window
// by its instance name, each control and timer of it by the control's name, once.
class LayoutNamesTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void everyNamedObjectIsFoundByItsName_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QStringList>("controls");
        QTest::addColumn<QString>("timer");
        QTest::addColumn<int>("interval");

        QTest::newRow("main screen")
            << "mainscreen"
            << "Tmainscreen" << QStringList{"Image1", "Label1", "Label2", "Image2", "Image3",
                                            "Label4", "Label5", "Image5", "Image6", "BriskRoutines"}
            << "Timer2" << 20000;
        QTest::newRow("barcode voucher screen")
            << "barcodescreen"
            << "Tbarcodescreen"
            << QStringList{"bg",        "nas",    "Label1", "Label2", "sbtext",
                           "imgreturn", "Image1", "Label5", "Label3", "lblAccountBalance",
                           "Label4",    "Label7", "Label8", "Label9", "edbarcode"}
            << "timeout" << 30000;
        QTest::newRow("members card screen") << "rfidscreen"
                                             << "Trfidscreen"
                                             << QStringList{"bg",
                                                            "stext",
                                                            "mtext",
                                                            "ltext",
                                                            "Label5",
                                                            "Label3",
                                                            "Label6",
                                                            "lblAccountType",
                                                            "lblAccountBalance",
                                                            "Label4",
                                                            "imgreturn",
                                                            "label1",
                                                            "nam",
                                                            "nas",
                                                            "imgsmallbucket",
                                                            "imgmediumbucket",
                                                            "nal",
                                                            "imglargebucket",
                                                            "Label2",
                                                            "Label7",
                                                            "Label8",
                                                            "Label9",
                                                            "edcardno"}
                                             << "timeout" << 30000;
        QTest::newRow("link test window")
            << "IPsend"
            << "TIPsend"
            << QStringList{"GroupBox1", "Label1",    "Label2",  "Label3",   "Label4",
                           "Label5",    "Label6",    "Label7",  "Command",  "RangeType",
                           "Reference", "Date",      "Time",    "ServerIP", "Port",
                           "Button1",   "GroupBox2", "Label9",  "Edit1",    "Label8",
                           "noofbytes", "GroupBox3", "Label10", "strlist",  "Label11",
                           "Edit2"}
            << "Timer1" << 1000;
    }

    void everyNamedObjectIsFoundByItsName()
    {
        QFETCH(QString, window);
        QFETCH(QString, className);
        QFETCH(QStringList, controls);
        QFETCH(QString, timer);
        QFETCH(int, interval);

        const WindowSet windows(writeSettings(m_dir));
        QWidget *found = nullptr;
        for (QWidget *topLevel : QApplication::topLevelWidgets()) {
            if (topLevel->objectName() == window) {
                QVERIFY2(!found, qPrintable(window + QStringLiteral(" twice")));
                found = topLevel;
            }
        }
        QVERIFY2(found, qPrintable(window));
        QCOMPARE(QString::fromLatin1(found->metaObject()->className()), className);

        for (const QString &name : controls) {
            const QList<QObject *> named = found->findChildren<QObject *>(name);
            QVERIFY2(named.size() == 1,
                     qPrintable(QStringLiteral("%1 found %2 times").arg(name).arg(named.size())));
        }
        auto *const ticking = found->findChild<QTimer *>(timer);
        QVERIFY2(ticking, qPrintable(timer));
        QCOMPARE(found->findChildren<QObject *>(timer).size(), 1);
        QCOMPARE(ticking->interval(), interval);
    }
};

ORVANTA_SHELL_TEST_MAIN(LayoutNamesTest)
#include "layoutnames_test.moc"
