// Replies and settings the link cannot read money from: a control byte in a reply's body,
// a decimal separator that cannot separate decimals. Each ends the exchange as a link
// failure, with the reason in the link test window and the journal.

#include "link/exchangerecord.h"
#include "link/linkclient.h"
#include "link/wireformat.h"
#include "platform/codepage.h"
#include "platform/decimalseparator.h"
#include "rawserver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A link client pointed at 127.0.0.1:port with short bounds.
struct Client : LinkClient
{
    explicit Client(quint16 port = 0)
    {
        remoteserver = QStringLiteral("127.0.0.1");
        remoteport = QString::number(port);
        validationWaitMs = 2000;
        reportWaitMs = 2000;
    }
};

QString writeFile(const QTemporaryDir &dir, const QByteArray &contents)
{
    const QString path = dir.filePath("config.ini");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(contents);
    return path;
}

} // namespace

class UnreadableTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setDecimalSeparator(QLatin1Char('.')); }

    // A control byte anywhere in the body makes the reply unreadable as a whole: it is
    // lost like a reply cut short (9), for a validation and a usage report alike, nothing
    // of it read, and the link test window and the journal say where the byte stood.
    // Rendered as its decimal value, each row's byte became digits of a value or a name.
    void controlBytesInTheBody_data()
    {
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("NUL in a value: Number1=3<NUL>0 offered 300 balls")
            << QByteArray("RangeOK=1&Number1=3\x00"
                          "0&",
                          22);
        QTest::newRow("CR without LF in a value: Number1=30<CR> read as 3013")
            << QByteArray("RangeOK=1&Number1=30\r&Number2=60&");
        QTest::newRow("TAB in a price: Price1=2<TAB>0%2E00 read as 290, 2 balls for 12.50")
            << QByteArray("RangeOK=1&Number1=2&Price1=2\t0%2E00&");
        QTest::newRow("LF in a value: Number1=4<LF>0 read as 4100")
            << QByteArray("RangeOK=1&Number1=4\n0&");
        QTest::newRow("0x1F in a value: Number1=4<1F>0 read as 4310")
            << QByteArray("RangeOK=1&Number1=4\x1f"
                          "0&");
        QTest::newRow("DEL in a value: an error box instead of a link failure")
            << QByteArray("RangeOK=1&Number1=4\x7f"
                          "0&");
        QTest::newRow("in a name: Num<TAB>ber1=40 lost, a voucher of 0 balls")
            << QByteArray("RangeOK=1&Num\tber1=40&");
        QTest::newRow("first byte of the body: <1F>RangeOK=1 read as a name of its own")
            << QByteArray("\x1fRangeOK=1&Number1=40&");
        QTest::newRow("CR doubled before the line end: Number1=40<CR> read as 4013")
            << QByteArray("RangeOK=1&Number1=40\r");
        QTest::newRow("just before the line end: NUL read as one more item")
            << QByteArray("RangeOK=1&Number1=40&\x00", 22);
    }
    void controlBytesInTheBody()
    {
        QFETCH(QByteArray, body);
        RawServer server({{replyFrame(body)}}, true);
        Client link(server.port());
        QList<ExchangeRecord> journal;
        link.exchangeEnded = [&](const ExchangeRecord &record) { journal.append(record); };
        qsizetype first = 0;
        while (static_cast<unsigned char>(body[first]) >= 0x20 &&
               static_cast<unsigned char>(body[first]) != 0x7F)
            ++first;
        const QString why = QStringLiteral("reply lost (control byte 0x%1 at offset %2)")
                                .arg(QString::number(static_cast<unsigned char>(body[first]), 16)
                                         .toUpper()
                                         .rightJustified(2, u'0'))
                                .arg(first + 4);

        link.number1 = 77;
        link.Price1 = 7;
        QCOMPARE(link.sendinput("900001", "P"), 9);
        QCOMPARE(link.number1, 77);
        QCOMPARE(link.Price1, 7.0);
        QCOMPARE(link.lastEnding, QStringLiteral("Validation: result 9, ") + why);
        QVERIFY(!link.ClientSocket1.isOpen());
        QCOMPARE(link.sendcardvendstatus("12345678", "C", 2), 9);
        QCOMPARE(link.number1, 77);
        QCOMPARE(server.connections(), 2);

        QCOMPARE(journal.size(), 2);
        QCOMPARE(journalLine(journal[0]).section(QLatin1String(" why="), 1),
                 QLatin1Char('"') + why + QLatin1Char('"'));
        QVERIFY2(journalLine(journal[1]).contains(QLatin1String("UNCONFIRMED why=\"") + why),
                 qPrintable(journalLine(journal[1])));
    }

    // Bytes from 0x80 up are the code page's characters, not control bytes: a reply with
    // them in its text is read (a signed byte below 0x20 would have lost it).
    void highBytesAreText()
    {
        RawServer server({{replyFrame("RangeOK=0&Error=Caf\xe9+\x80+5\xa0x&")}});
        Client link(server.port());
        QCOMPARE(link.sendinput("900001", "P"), 0);
        QCOMPARE(link.IPerror, QStringLiteral("Café+€+5\u00a0x"));
        QCOMPARE(link.lastReason, QString());
    }

    // Line 3 of config.ini gives the decimal separator. One that cannot separate decimals
    // is a settings error: it is never taken, every exchange ends as a link failure (9)
    // without connecting, and the window and the journal say why; once the file is
    // mended the link works again. Each bad row names what the separator did to 12.50.
    // The good ones read 12.50 both from its escape and as written with the separator.
    void separators_data()
    {
        QTest::addColumn<QByteArray>("separator");
        QTest::addColumn<QString>("fault"); // empty: the separator works

        const QString blank = QStringLiteral("a blank");
        const QString control = QStringLiteral("a control character");
        const QString digit = QStringLiteral("a digit");
        QTest::newRow("blank: 12.50 read as 12") << QByteArray(" ") << blank;
        QTest::newRow("tab: 12.50 read as 12") << QByteArray("\t") << blank;
        QTest::newRow("non-breaking space: 12.50 shown as 12 50") << QByteArray("\xa0") << blank;
        QTest::newRow("control 0x01: 12.50 read as 12") << QByteArray("\x01") << control;
        QTest::newRow("DEL: 12.50 shown as 12<DEL>50") << QByteArray("\x7f") << control;
        QTest::newRow("digit 0: 12.50 read as 12050") << QByteArray("0") << digit;
        QTest::newRow("digit 5: 12.50 read as 12550") << QByteArray("5") << digit;
        QTest::newRow("&: 12.50 read as 12")
            << QByteArray("&") << QStringLiteral("the reply's item separator");
        QTest::newRow("=: a value holding the name separator")
            << QByteArray("=") << QStringLiteral("the reply's separator of name and value");
        QTest::newRow("%: 12.50 as 12%50, an escape of its own")
            << QByteArray("%") << QStringLiteral("the reply's escape character");
        QTest::newRow("+: the server's blank")
            << QByteArray("+") << QStringLiteral("the plus sign");
        QTest::newRow("-: -12.50 as -12-50") << QByteArray("-") << QStringLiteral("the minus sign");
        QTest::newRow("double quote: the reply's quote character")
            << QByteArray("\"") << QStringLiteral("the reply's quote character");
        QTest::newRow("point") << QByteArray(".") << QString();
        QTest::newRow("comma") << QByteArray(",") << QString();
        QTest::newRow("middle dot") << QByteArray("\xb7") << QString();
        QTest::newRow("apostrophe") << QByteArray("'") << QString();
        QTest::newRow("slash") << QByteArray("/") << QString();
    }
    void separators()
    {
        QFETCH(QByteArray, separator);
        QFETCH(QString, fault);
        // A bad separator written into the reply would spoil it for the mended file too.
        const QByteArray body = "RangeOK=1&CardBalance=12%2E50&Number1=19&Price1=12" +
                                (fault.isEmpty() ? separator : QByteArray("%2E")) + "50&";
        RawServer server({{replyFrame(body)}});
        QTemporaryDir dir;
        const QByteArray start = "127.0.0.1\n" + QByteArray::number(server.port()) + "\n";
        Client link;
        link.CardBalance = 7;
        QList<ExchangeRecord> journal;
        link.exchangeEnded = [&](const ExchangeRecord &record) { journal.append(record); };
        link.readSettings(writeFile(dir, start + separator + "\n"));

        if (fault.isEmpty()) {
            QCOMPARE(link.settingsError, QString());
            QCOMPARE(DecimalSeparator(), platform::codePageChar(uchar(separator[0])));
            QCOMPARE(link.sendinput("33334444", "C"), 1);
            QCOMPARE(link.CardBalance, 12.5);
            QCOMPARE(link.Price1, 12.5);
            return;
        }
        QVERIFY2(link.settingsError.contains(fault), qPrintable(link.settingsError));
        QVERIFY2(link.settingsError.contains(QLatin1String("which cannot separate decimals")),
                 qPrintable(link.settingsError));
        QCOMPARE(DecimalSeparator(), localeDecimalSeparator());
        QCOMPARE(link.lastEnding, QStringLiteral("Link settings: ") + link.settingsError);
        const QString ending = QStringLiteral(": result 9, ") + link.settingsError;
        QCOMPARE(link.sendinput("33334444", "C"), 9);
        QCOMPARE(link.lastEnding, QStringLiteral("Validation") + ending);
        QCOMPARE(link.sendvendstatus("900001", "P"), 9);
        QCOMPARE(link.sendcardvendstatus("33334444", "C", 1), 9);
        QCOMPARE(link.lastEnding, QStringLiteral("Card usage report") + ending);
        link.messagestring = wire::frameText(u"Command=ValidateRangeId&");
        QCOMPARE(link.sendMessageTo("127.0.0.1", QString::number(server.port())), 9);
        QCOMPARE(link.lastEnding, QStringLiteral("Send") + ending);
        QCOMPARE(server.connections(), 0);
        QCOMPARE(link.CardBalance, 7.0);
        QCOMPARE(journal.size(), 4);
        for (const ExchangeRecord &record : std::as_const(journal))
            QVERIFY2(journalLine(record).contains(QLatin1String("result=9")) &&
                         journalLine(record).contains(QLatin1String("why=\"settings error: ")),
                     qPrintable(journalLine(record)));

        // Mended, the link works again.
        link.readSettings(writeFile(dir, start + ".\n"));
        QCOMPARE(link.settingsError, QString());
        QCOMPARE(link.sendinput("33334444", "C"), 1);
        QCOMPARE(link.CardBalance, 12.5);
        QCOMPARE(server.connections(), 1);
    }
};

QTEST_GUILESS_MAIN(UnreadableTest)
#include "tst_unreadable.moc"
