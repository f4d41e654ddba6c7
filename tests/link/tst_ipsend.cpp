// The link client as the kiosk creates it: the last window of the set, reading the link
// settings file into the customer screens' footers.

#include "link/ipsend.h"
#include "platform/decimalseparator.h"
#include "platform/errorreport.h"
#include "screens/barcodescreen.h"
#include "screens/rfidscreen.h"
#include "shell/windowset.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class IPsendTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        reported.clear();
        platform::setErrorReporter([this](const QString &m) { reported.append(m); });
    }
    void cleanup()
    {
        platform::setErrorReporter({});
        setDecimalSeparator(QLatin1Char('.'));
    }

    void settingsReachTheFooters()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.ini");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("192.168.10.5\r\n50001\r\n,\r\n");
        file.close();

        WindowSet ws(path);
        QVERIFY(reported.isEmpty());
        QCOMPARE(IPsend->remoteserver, QStringLiteral("192.168.10.5"));
        for (QLabel *label : {barcodescreen->Label8, rfidscreen->Label8})
            QCOMPARE(label->text(), QStringLiteral("192.168.10.5"));
        for (QLabel *label : {barcodescreen->Label9, rfidscreen->Label9})
            QCOMPARE(label->text(), QStringLiteral("50001"));
        QCOMPARE(DecimalSeparator(), QChar(','));
        QVERIFY(IPsend->ClientSocket1.isOpen());
        QVERIFY(!IPsend->isVisible());
    }

    void missingFileIsReportedAndStartUpGoesOn()
    {
        QTemporaryDir dir;
        const QChar before = DecimalSeparator();
        WindowSet ws(dir.filePath("config.ini"));
        QCOMPARE(reported, QStringList{"The specified file was not found"});
        QVERIFY(IPsend);
        QCOMPARE(barcodescreen->Label8->text(), QString());
        QCOMPARE(rfidscreen->Label9->text(), QString());
        QCOMPARE(DecimalSeparator(), before);
        IPsend->validationWaitMs = 300;
        QCOMPARE(IPsend->sendinput("900001", "P"), 9);
    }

private:
    QStringList reported;
};

QTEST_MAIN(IPsendTest)
#include "tst_ipsend.moc"
