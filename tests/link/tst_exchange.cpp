// Whole exchanges of the link client against servers in other threads: the scripted raw
// server for exact bytes and timing, the simulated management server for the protocol.

#include "link/linkclient.h"
#include "platform/decimalseparator.h"
#include "platform/errors.h"
#include "rawserver.h"
#include "support/simfixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray acceptedBody = "RangeOK=1&CardBalance=250%2E00&Number1=30&Number2=60&"
                                "Number3=90&Price1=20%2E00&Price2=35%2E00&Price3=50%2E00&";

const QByteArray simData = R"({
    "prices": [ {"balls": 30, "price": "20.00"}, {"balls": 60, "price": "35.00"},
                {"balls": 90, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"} ],
    "vouchers": [ {"number": "900001", "balls": 40, "used": false} ],
    "faults": { "F-silent": {"mode": "silent"}, "F-close": {"mode": "close"},
                "F-split": {"mode": "split", "ms": 300} } })";

// A link client pointed at 127.0.0.1:port with short bounds.
struct Client : LinkClient
{
    explicit Client(quint16 port = 0)
    {
        remoteserver = QStringLiteral("127.0.0.1");
        remoteport = QString::number(port);
        validationWaitMs = 2000;
        reportWaitMs = 2000;
        clock = [] { return QDateTime(QDate(2024, 12, 9), QTime(14, 5, 30)); };
    }
};

// A client that keeps what the reply parser showed: the length byte less the bytes read,
// and the items.
struct TracingClient : Client
{
    using Client::Client;
    QList<int> lengths;
    QStringList items;

protected:
    void showReplyLength(int value) override { lengths.append(value); }
    void showReplyItems(const QStringList &shown) override { items = shown; }
};

// A port on which nothing listens.
quint16 closedPort()
{
    quint16 port = 0;
    ::close(loopbackSocket(-1, &port));
    return port;
}

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

class ExchangeTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setDecimalSeparator(QLatin1Char('.')); }

    // The worked example end to end: the 97 bytes the server receives and the record
    // the 115-byte reply gives.
    void validationBytes()
    {
        RawServer server({{replyFrame(acceptedBody)}});
        Client link(server.port());
        QCOMPARE(link.sendinput("12345678", "C"), 1);
        QCOMPARE(server.requests().size(), 1);
        const QByteArray sent = server.requests().first();
        QCOMPARE(sent.size(), 97);
        QCOMPARE(sent, QByteArray("\x00\x5f\x00\x04", 4) +
                           "Command=ValidateRangeId&RangeType=C&Reference=12345678&"
                           "Date=09%2F12%2F24&Time=14%3A05%3A30&\r\n");
        QCOMPARE(link.transdate, QStringLiteral("09%2F12%2F24"));
        QCOMPARE(link.transtime, QStringLiteral("14%3A05%3A30"));
        QCOMPARE(link.intmessagelength, qint16(95));
        QCOMPARE(link.messagestring.size(), 95);
        QCOMPARE((QList<int>{link.number1, link.number2, link.number3, link.number4}),
                 (QList<int>{30, 60, 90, 0}));
        QCOMPARE(link.CardBalance, 250.0);
        QCOMPARE(link.Price3, 50.0);
        QVERIFY(!link.ClientSocket1.isOpen());
    }

    // Usage reports repeat the validation's date and time; lengths above 127 go out as
    // the byte L itself.
    void reportBytes()
    {
        RawServer server({{replyFrame("RangeOK=1&")}});
        Client link(server.port());
        link.transdate = QStringLiteral("01%2F02%2F25");
        link.transtime = QStringLiteral("23%3A59%3A58");
        const QString longRef(50, QLatin1Char('7')); // L = 148
        QCOMPARE(link.sendcardvendstatus(longRef, "C", 3), 1);
        QCOMPARE(link.sendvendstatus("900001", "P"), 1);
        const QList<QByteArray> sent = server.requests();
        QCOMPARE(sent.size(), 2);
        QCOMPARE(static_cast<unsigned char>(sent[0][1]), 148);
        QCOMPARE(sent[0].size(), 150);
        QVERIFY(sent[0].endsWith("&IssueGroup=3&Date=01%2F02%2F25&Time=23%3A59%3A58&\r\n"));
        QCOMPARE(sent[1].mid(4), QByteArray("Command=SetRangeUsage&RangeType=P&Reference=900001&"
                                            "Date=01%2F02%2F25&Time=23%3A59%3A58&\r\n"));
    }

    void againstSimulator()
    {
        SimFixture sim(simData);
        Client link(sim.port());
        QCOMPARE(link.sendinput("12345678", "C"), 1);
        QCOMPARE(link.CardBalance, 250.0);
        QCOMPARE((QList<int>{link.number1, link.number2, link.number3}), (QList<int>{30, 60, 90}));
        QCOMPARE(link.Price2, 35.0);
        link.sendcardvendstatus("12345678", "C", 2);
        QCOMPARE(link.RangeOK, 1);
        QCOMPARE(link.CardBalance, 215.0); // the report's reply carries the new balance

        QCOMPARE(link.sendinput("424242", "P"), 0);
        QVERIFY(!link.IPerror.isEmpty());
        QVERIFY(!link.IPerror.contains(QLatin1Char(' ')));
        // A later acceptance without an Error item leaves the reason in place.
        const QString reason = link.IPerror;
        QCOMPARE(link.sendinput("900001", "P"), 1);
        QCOMPARE(link.number1, 40);
        QCOMPARE(link.IPerror, reason);
        QCOMPARE(link.CardBalance, 215.0);
        link.sendvendstatus("900001", "P");
        QCOMPARE(link.sendinput("900001", "P"), 0); // used now

        const QList<SimRequest> requests = sim.requests();
        QCOMPARE(requests.size(), 6);
        QCOMPARE(requests[1].command, QStringLiteral("SetRangeUsage"));
        QCOMPARE(requests[1].issueGroup, QStringLiteral("2"));
        QCOMPARE(requests[1].date, requests[0].date);
        QCOMPARE(requests[1].time, requests[0].time);
    }

    // No reply within the bound gives 9, for a validation and for a usage report, and
    // so does a server that holds the connection while sending part of a reply only.
    void noReplyWithinBound_data()
    {
        QTest::addColumn<QByteArray>("partial");
        QTest::addColumn<bool>("report");
        QTest::newRow("validation, silent") << QByteArray() << false;
        QTest::newRow("usage report, silent") << QByteArray() << true;
    }
    void noReplyWithinBound()
    {
        QFETCH(QByteArray, partial);
        QFETCH(bool, report);
        RawServer server({}, true);
        Client link(server.port());
        link.validationWaitMs = link.reportWaitMs = 400;
        QElapsedTimer timer;
        timer.start();
        const int result =
            report ? link.sendvendstatus("900001", "P") : link.sendinput("900001", "P");
        const qint64 took = timer.elapsed();
        QCOMPARE(result, 9);
        QVERIFY2(took >= 350 && took < 3000, qPrintable(QString::number(took)));
        QVERIFY(!link.ClientSocket1.isOpen());
    }

    // With the real 10 s bound: a closed connection and a refused connect end at once.
    void failuresEndAtOnce()
    {
        LinkClient link;
        link.remoteserver = QStringLiteral("127.0.0.1");
        {
            RawServer closing({});
            link.remoteport = QString::number(closing.port());
            QElapsedTimer timer;
            timer.start();
            QCOMPARE(link.sendinput("900001", "P"), 9);
            QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
            QCOMPARE(closing.connections(), 1);
            timer.restart();
            QCOMPARE(link.sendvendstatus("900001", "P"), 9);
            QVERIFY(timer.elapsed() < 2000);
        }
        link.remoteport = QString::number(closedPort());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(link.sendinput("900001", "P"), 9);
        QVERIFY(timer.elapsed() < 2000);
    }

    void simulatorFaults()
    {
        SimFixture sim(simData);
        Client link(sim.port());
        link.validationWaitMs = 500;
        QCOMPARE(link.sendinput("F-silent", "P"), 9);
        QCOMPARE(link.sendinput("F-close", "P"), 9);
        link.validationWaitMs = 3000;
        QCOMPARE(link.sendinput("F-split", "P"), 0); // read whole across the pause
        QVERIFY(!link.IPerror.isEmpty());
    }

    // A reply in segments with pauses is read whole, up to its CR LF and no further, and
    // ends the exchange as soon as its CR LF is in, while the server holds the connection.
    // Each row names what a slip in the search for the CR LF would do.
    void splitReply_data()
    {
        QTest::addColumn<int>("cut");
        QTest::addColumn<QByteArray>("after"); // sent with the rest, after the frame
        const int size = replyFrame(acceptedBody).size();
        const QByteArray more = "RangeOK=5&\r\n";
        QTest::newRow("after the header: more read than the frame") << 4 << more;
        QTest::newRow("in a value: more read than the frame") << 40 << more;
        QTest::newRow("between CR and LF: waits out the bound (search one byte late)")
            << size - 1 << QByteArray();
        QTest::newRow("between CR and LF: the next reply's line end taken (search one byte "
                      "late)")
            << size - 1 << more;
        QTest::newRow("before the line end: waits out the bound") << size - 2 << QByteArray();
    }
    void splitReply()
    {
        QFETCH(int, cut);
        QFETCH(QByteArray, after);
        const QByteArray reply = replyFrame(acceptedBody);
        RawServer server({{reply.first(cut)}, {reply.mid(cut) + after, 250}}, true);
        TracingClient link(server.port());
        link.validationWaitMs = 8000;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(link.sendinput("12345678", "C"), 1);
        const qint64 took = timer.elapsed();
        // The pause is 250 ms; the bound, which a missed line end would wait out, 8 s.
        QVERIFY2(took < 4000, qPrintable(QString::number(took)));
        // Exactly the frame: its length byte less the bytes read is -2, and its items are
        // the body's, nothing of what followed.
        QCOMPARE(link.lengths, QList<int>{-2});
        QCOMPARE(link.items.size(), 9);
        QCOMPARE(link.items.first(), QStringLiteral("RangeOK=1"));
        QCOMPARE(link.items.at(7), QStringLiteral("Price3=50.00"));
        QCOMPARE(link.number3, 90);
        QCOMPARE(link.Price3, 50.0);
    }

    // A reply is whole only when its CR LF has come. Cut short by whatever cause it is
    // lost as a whole (9), for a validation and a usage report alike: read in part it gave
    // a voucher worth 40 balls as 4, or a price of 20.00 as 2. An empty reply is no
    // answer either. Each row names what the part read would have done.
    void incompleteReplies_data()
    {
        QTest::addColumn<QList<RawServer::Segment>>("script");
        QTest::addColumn<bool>("hold");   // the server keeps the connection open
        QTest::addColumn<QString>("why"); // what the link test window is told

        const QByteArray part = QByteArray("\0\x19\0\x04", 4) + "RangeOK=1&Number1=4";
        QTest::newRow("closed mid-reply: Number1=4 for 40")
            << QList<RawServer::Segment>{{part}} << false
            << QStringLiteral("closed the connection before its line end");
        QTest::newRow("closed mid-reply: Price1=2 for 20.00")
            << QList<RawServer::Segment>{{QByteArray("\0\x21\0\x04", 4) +
                                          "RangeOK=1&Number1=30&Price1=2"}}
            << false << QStringLiteral("closed the connection before its line end");
        QTest::newRow("line end not within the bound: Number1=4 for 40")
            << QList<RawServer::Segment>{{part}, {"0&\r\n", 700}} << true
            << QStringLiteral("no line end within 0.4 s");
        // Byte 511 is the "4" of Number1=40: the rest stays unread.
        const QByteArray head = QByteArray("\0\xff\0\x04", 4) + "RangeOK=1&Note=";
        const QByteArray longReply =
            head + QByteArray(511 - head.size() - 10, 'x') + "&Number1=40&Number2=60&\r\n";
        QTest::newRow("cut at 511 bytes: Number1=4 for 40")
            << QList<RawServer::Segment>{{longReply}} << false
            << QStringLiteral("longer than 511 bytes");
        QTest::newRow("header only, then closed")
            << QList<RawServer::Segment>{{QByteArray("\0\x04\0\x04", 4)}} << false
            << QStringLiteral("closed the connection before its line end");
        // A CR as the length byte and an LF after it are no line end.
        QTest::newRow("CR LF inside the header only")
            << QList<RawServer::Segment>{{QByteArray("\0\r\n", 3) + "RangeOK=1&Number1=4"}} << false
            << QStringLiteral("closed the connection before its line end");
        QTest::newRow("CR without its LF, then closed")
            << QList<RawServer::Segment>{{part + "0&\r"}} << false
            << QStringLiteral("closed the connection before its line end");
        // Whole, but without items: it said nothing, and must not end in the error box
        // "List index out of bounds (0)".
        QTest::newRow("empty body")
            << QList<RawServer::Segment>{{QByteArray("\0\x04\0\x04\r\n", 6)}} << true
            << QStringLiteral("reply without items");
        QTest::newRow("blanks only") << QList<RawServer::Segment>{{replyFrame("   ")}} << true
                                     << QStringLiteral("reply without items");
    }
    void incompleteReplies()
    {
        QFETCH(QList<RawServer::Segment>, script);
        QFETCH(bool, hold);
        QFETCH(QString, why);
        RawServer server(script, hold);
        Client link(server.port());
        link.validationWaitMs = link.reportWaitMs = 400;
        link.number1 = 77;
        link.Price1 = 7;
        // A whole reply is parsed, which zeroes the numbers and prices first; a reply cut
        // short is not parsed at all.
        const bool whole = why == QLatin1String("reply without items");
        QCOMPARE(link.sendinput("900001", "P"), 9);
        QCOMPARE(link.number1, whole ? 0 : 77);
        QCOMPARE(link.Price1, whole ? 0.0 : 7.0);
        QVERIFY2(link.lastEnding.contains(why), qPrintable(link.lastEnding));
        QVERIFY(!link.ClientSocket1.isOpen());
        link.number1 = 77;
        QCOMPARE(link.sendvendstatus("900001", "P"), 9);
        QCOMPARE(link.number1, whole ? 0 : 77);
        QCOMPARE(server.connections(), 2);
    }

    // The CR LF ends the reply wherever it falls after the header, also right at 511
    // bytes and when the length byte is 13.
    void wholeRepliesAtTheEdges()
    {
        const QByteArray head = QByteArray("\0\xff\0\x04", 4) + "RangeOK=1&Note=";
        const QByteArray tail = "&Number1=40&\r\n";
        RawServer full({{head + QByteArray(511 - head.size() - tail.size(), 'x') + tail}});
        Client link(full.port());
        QCOMPARE(link.sendinput("900001", "P"), 1);
        QCOMPARE(link.number1, 40);
        RawServer thirteen({{QByteArray("\0\r\0\x04", 4) + "RangeOK=1&Number1=40&\r\n"}});
        link.remoteport = QString::number(thirteen.port());
        QCOMPARE(link.sendinput("900001", "P"), 1);
        QCOMPARE(link.number1, 40);
    }

    // Connecting gives up after the connect bound: the server's accept queue is full,
    // so its SYNs go unanswered.
    void connectBounded()
    {
        quint16 port = 0;
        const int listener = loopbackSocket(0, &port);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        QList<int> fillers;
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            fillers.append(fd);
        }
        QTest::qWait(100);
        Client link(port);
        link.connectTimeoutMs = 500;
        link.validationWaitMs = 10000;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(link.sendinput("900001", "P"), 9);
        const qint64 took = timer.elapsed();
        for (int fd : fillers)
            ::close(fd);
        ::close(listener);
        QVERIFY2(took >= 400 && took < 3000, qPrintable(QString::number(took)));
    }

    // Unsafe references and over-long requests are refused by the link itself, without any
    // connection. The reason is the technician's: IPerror keeps what the server last said,
    // where the card screen would have shown the link's words to the next member.
    void unsafeReferenceRefused()
    {
        RawServer server({{replyFrame("RangeOK=1&")}});
        Client link(server.port());
        link.IPerror = QStringLiteral("old");
        const QString tooLong(200, QLatin1Char('9')); // L above 255 in all three requests
        for (const QString &ref :
             {QStringLiteral("12&RangeOK=1"), QStringLiteral("1 2"), QStringLiteral("50%2E"),
              QStringLiteral("a\"b"), QStringLiteral("x\ny"), QStringLiteral("Ω1"), tooLong}) {
            link.RangeOK = -1;
            QCOMPARE(link.sendinput(ref, "P"), linkresult::refusedByLink);
            QCOMPARE(link.RangeOK, linkresult::refusedByLink);
            QCOMPARE(link.IPerror, QStringLiteral("old"));
            QVERIFY(!link.linkRefusal.isEmpty());
            QVERIFY2(link.lastEnding.contains(link.linkRefusal), qPrintable(link.lastEnding));
            QCOMPARE(link.sendvendstatus(ref, "P"), linkresult::refusedByLink);
            QCOMPARE(link.sendcardvendstatus(ref, "C", 1), linkresult::refusedByLink);
            QCOMPARE(link.IPerror, QStringLiteral("old"));
        }
        QCOMPARE(link.transdate, QString());
        QCOMPARE(server.connections(), 0);
        // The empty reference is sent; an exchange that goes out clears the link's reason.
        QCOMPARE(link.sendinput(QString(), "P"), 1);
        QCOMPARE(link.linkRefusal, QString());
        QCOMPARE(server.connections(), 1);
    }

    // The length byte carries L up to 255. A validation refuses a reference that its usage
    // report could not carry: a card of 158 to 168 characters was validated, its bucket
    // dispensed, and its card usage report (11 characters longer) refused, so the server
    // never heard of the bucket.
    void lengthLimits_data()
    {
        QTest::addColumn<int>("request"); // 0 validation, 1 voucher report, 2 card report
        QTest::addColumn<QString>("rangeType");
        QTest::addColumn<int>("length");      // of the reference
        QTest::addColumn<int>("frameLength"); // L sent, 0 when refused

        QTest::newRow("voucher validation, longest (L 255)") << 0 << "P" << 168 << 255;
        QTest::newRow("voucher validation, one more") << 0 << "P" << 169 << 0;
        QTest::newRow("card validation, longest its report carries") << 0 << "C" << 157 << 244;
        QTest::newRow("card validation, report one too long") << 0 << "C" << 158 << 0;
        QTest::newRow("card validation that fits itself, not its report") << 0 << "C" << 168 << 0;
        QTest::newRow("other range type: the longer report counts") << 0 << "X" << 158 << 0;
        QTest::newRow("other range type, longest") << 0 << "X" << 157 << 244;
        QTest::newRow("voucher usage report, longest (L 255)") << 1 << "P" << 170 << 255;
        QTest::newRow("voucher usage report, one more") << 1 << "P" << 171 << 0;
        QTest::newRow("card usage report, longest (L 255)") << 2 << "C" << 157 << 255;
        QTest::newRow("card usage report, one more") << 2 << "C" << 158 << 0;
    }
    void lengthLimits()
    {
        QFETCH(int, request);
        QFETCH(QString, rangeType);
        QFETCH(int, length);
        QFETCH(int, frameLength);
        RawServer server({{replyFrame("RangeOK=1&")}});
        Client link(server.port());
        link.transdate = QStringLiteral("09%2F12%2F24");
        link.transtime = QStringLiteral("14%3A05%3A30");
        const QString reference(length, QLatin1Char('7'));
        const int result = request == 0   ? link.sendinput(reference, rangeType)
                           : request == 1 ? link.sendvendstatus(reference, rangeType)
                                          : link.sendcardvendstatus(reference, rangeType, 3);
        if (frameLength == 0) {
            QCOMPARE(result, linkresult::refusedByLink);
            QCOMPARE(server.connections(), 0);
            return;
        }
        QCOMPARE(result, 1);
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(static_cast<unsigned char>(server.requests().first()[1]), frameLength);
        QCOMPARE(server.requests().first().size(), frameLength + 2);
    }

    // A validation reads the clock once: its date and time of two readings could straddle
    // midnight, sending yesterday's date with 00:00:00, and both usage reports repeat it.
    void oneClockReadingPerValidation()
    {
        RawServer server({{replyFrame("RangeOK=1&")}});
        Client link(server.port());
        int readings = 0;
        link.clock = [&] {
            return ++readings == 1 ? QDateTime(QDate(2024, 12, 9), QTime(23, 59, 59, 999))
                                   : QDateTime(QDate(2024, 12, 10), QTime(0, 0, 0));
        };
        QCOMPARE(link.sendinput("900001", "P"), 1);
        QCOMPARE(readings, 1);
        QCOMPARE(link.transdate, QStringLiteral("09%2F12%2F24"));
        QCOMPARE(link.transtime, QStringLiteral("23%3A59%3A59"));
    }

    // An exchange started from the parser's message pump is refused and leaves the
    // running exchange's record alone.
    void nestedExchangeRefused()
    {
        RawServer server({{replyFrame(acceptedBody)}});
        Client link(server.port());
        int nested = -100;
        bool runningInside = false;
        QTimer::singleShot(0, [&] {
            runningInside = link.exchangeRunning();
            nested = link.sendinput("999", "P");
            link.sendvendstatus("999", "P");
        });
        QCOMPARE(link.sendinput("12345678", "C"), 1);
        QVERIFY(runningInside);
        // A code of its own: 0 would read as the server refusing the card.
        QCOMPARE(nested, linkresult::busy);
        for (int serverCode : {0, 1, 9, -1})
            QVERIFY(linkresult::busy != serverCode);
        QVERIFY2(link.lastEnding.contains(QStringLiteral("another exchange was running")),
                 qPrintable(link.lastEnding));
        QCOMPARE(server.connections(), 1);
        QVERIFY(link.messagestring.contains(QStringLiteral("Reference=12345678&")));
        QCOMPARE(link.number1, 30);
        QVERIFY(!link.exchangeRunning());
    }

    // A value that is not a number leaves the exchange as an error; the connection is
    // closed and the next exchange runs.
    void parseErrorReachesCaller()
    {
        RawServer server({{replyFrame("RangeOK=1&Number1=4O&")}});
        Client link(server.port());
        QVERIFY_THROWS_EXCEPTION(ConversionError, link.sendinput("900001", "P"));
        QCOMPARE(link.RangeOK, 1);
        QVERIFY(!link.exchangeRunning());
        QVERIFY(!link.ClientSocket1.isOpen());
        QVERIFY_THROWS_EXCEPTION(ConversionError, link.sendinput("900001", "P"));
        QCOMPARE(server.connections(), 2);
    }

    // A reply that sets no result code ends the exchange as a link failure (9), for the
    // validation and the usage report alike; the reply's other fields are still read.
    void replyWithoutResultCode_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("error");
        QTest::newRow("empty first value, no RangeOK")
            << replyFrame("Note=&Error=Unreadable+reply&") << QStringLiteral("Unreadable+reply");
        QTest::newRow("RangeOK=-1") << replyFrame("RangeOK=-1&") << QStringLiteral("earlier");
        QTest::newRow("unframed noise")
            << QByteArray("\x93\x11&=&\xfe\r\n") << QStringLiteral("earlier");
    }
    void replyWithoutResultCode()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, error);
        RawServer server({{reply}});
        Client link(server.port());
        link.IPerror = QStringLiteral("earlier");
        QCOMPARE(link.sendinput("900001", "P"), 9);
        QCOMPARE(link.RangeOK, 9);
        QCOMPARE(link.IPerror, error);
        QCOMPARE(link.sendvendstatus("900001", "P"), 9);
        QCOMPARE(server.connections(), 2);
    }

    // Every exchange starts its result code at -1 (under way), whatever the one before
    // returned: a handler run at the reply parser's pump sees -1, and a reply that sets no
    // result code ends as a link failure rather than with the earlier exchange's code.
    void everyExchangeStartsUnderWay_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::newRow("validation") << "validation";
        QTest::newRow("voucher usage report") << "voucher report";
        QTest::newRow("card usage report") << "card report";
        QTest::newRow("link test window's Send") << "send";
    }
    void everyExchangeStartsUnderWay()
    {
        QFETCH(QString, operation);
        RawServer accepting({{replyFrame("RangeOK=1&")}});
        RawServer codeless({{replyFrame("Note=&Number1=40&")}});
        Client link(accepting.port());
        QCOMPARE(link.sendinput("900001", "P"), 1);

        link.remoteport = QString::number(codeless.port());
        int atPump = -100;
        QTimer::singleShot(0, [&] { atPump = link.RangeOK; });
        int result = -100;
        if (operation == "validation")
            result = link.sendinput("900001", "P");
        else if (operation == "voucher report")
            result = link.sendvendstatus("900001", "P");
        else if (operation == "card report")
            result = link.sendcardvendstatus("12345678", "C", 2);
        else
            result = link.sendMessageTo("127.0.0.1", link.remoteport);
        QCOMPARE(codeless.connections(), 1);
        QCOMPARE(link.number1, 40); // the reply was read
        QCOMPARE(atPump, -1);
        QCOMPARE(result, 9);
        QCOMPARE(link.RangeOK, 9);
    }

    void sendMessageTo()
    {
        RawServer server({{replyFrame("RangeOK=1&Number1=40&")}});
        Client link;
        link.messagestring = QString(QChar(0)) + QChar(12) + QChar(0) + QChar(4) + "A=1&B=2&";
        QCOMPARE(link.sendMessageTo("127.0.0.1", QString::number(server.port())), 1);
        QCOMPARE(server.requests().first(), QByteArray("\0\x0c\0\x04"
                                                       "A=1&B=2&\r\n",
                                                       14));
        QCOMPARE(link.number1, 40);
        RawServer silent({}, true);
        link.validationWaitMs = 300;
        QCOMPARE(link.sendMessageTo("127.0.0.1", QString::number(silent.port())), 9);
    }

    // Created active: a connect to no host, which leaves an open, unconnected socket.
    // With an empty address and the default port the first exchange runs on it.
    void creationSocket()
    {
        LinkClient link;
        QVERIFY(link.ClientSocket1.isOpen());
        QVERIFY(!link.ClientSocket1.isConnected());
        link.remoteport = QStringLiteral("50001");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(link.sendinput("900001", "P"), 9);
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY(!link.ClientSocket1.isOpen());
    }

    void settingsFile()
    {
        QTemporaryDir dir;
        LinkClient link;
        QVERIFY_THROWS_EXCEPTION(FileError, link.readSettings(dir.filePath("config.ini")));
        try {
            link.readSettings(dir.filePath("config.ini"));
        } catch (const FileError &e) {
            QCOMPARE(e.message(), QStringLiteral("The specified file was not found"));
        }
        QCOMPARE(link.remoteserver, QString());
        // Missing file: every validation ends with 9.
        QCOMPARE(link.sendinput("900001", "P"), 9);

        link.readSettings(writeFile(dir, "10.0.0.7 \r\n 50001\r\n,\r\n"));
        QCOMPARE(link.remoteserver, QStringLiteral("10.0.0.7 ")); // nothing trimmed
        QCOMPARE(link.remoteport, QStringLiteral(" 50001"));
        QCOMPARE(DecimalSeparator(), QChar(','));

        // A byte-order mark from a Windows editor is not part of the address; nothing
        // else is trimmed.
        link.readSettings(writeFile(dir, "\xEF\xBB\xBF 10.0.0.8\r\n\xEF\xBB\xBF"
                                         "1\r\n.\r\n"));
        QCOMPARE(link.remoteserver, QStringLiteral(" 10.0.0.8"));
        QCOMPARE(link.remoteport, QStringLiteral("\u00EF\u00BB\u00BF1"));

        link.readSettings(writeFile(dir, "quillmark.local"));
        QCOMPARE(link.remoteserver, QStringLiteral("quillmark.local"));
        QCOMPARE(link.remoteport, QString());
        QCOMPARE(DecimalSeparator(), localeDecimalSeparator());
        QCOMPARE(link.sendinput("900001", "P"), 9); // port 0
    }

    // A port that is neither number nor service: the exchange raises, leaving the socket
    // open and unconnected; the next exchange runs on it and ends with 9.
    void badPort()
    {
        QTemporaryDir dir;
        LinkClient link;
        link.validationWaitMs = 300;
        link.readSettings(writeFile(dir, "127.0.0.1\nfifty\n.\n"));
        QVERIFY_THROWS_EXCEPTION(ConversionError, link.sendinput("900001", "P"));
        QVERIFY(link.ClientSocket1.isOpen());
        QVERIFY(!link.exchangeRunning());
        QCOMPARE(link.sendinput("900001", "P"), 9);
        QVERIFY(!link.ClientSocket1.isOpen());
        QVERIFY_THROWS_EXCEPTION(ConversionError, link.sendinput("900001", "P"));
    }

    void addressResolution()
    {
        QCOMPARE(TTcpClient::resolvePort(QString()), 0);
        QCOMPARE(TTcpClient::resolvePort("http"), 80);
        QCOMPARE(TTcpClient::resolvePort("50001"), 50001);
        QVERIFY_THROWS_EXCEPTION(ConversionError, TTcpClient::resolvePort("50001 "));
        const QDeadlineTimer bound(2000);
        QVERIFY(!TTcpClient::resolveHost(QString(), bound));
        QVERIFY(!TTcpClient::resolveHost("0.0.0.0", bound));
        QVERIFY(!TTcpClient::resolveHost("300.1.1.1", bound));
        QCOMPARE(TTcpClient::resolveHost("127.0.0.1", bound),
                 std::optional(htonl(INADDR_LOOPBACK)));
        QCOMPARE(TTcpClient::resolveHost("localhost", bound),
                 std::optional(htonl(INADDR_LOOPBACK)));
    }

    // A host name whose name servers never answer (three of them, each tried twice for
    // 5 s): lookup and connect together end within the connect bound, for every exchange.
    // The test runs itself again under orvanta_silentdns, in namespaces of its own.
    void hostNameLookupBounded()
    {
        if (!qEnvironmentVariableIsSet("ORVANTA_UNDER_SILENTDNS")) {
            if (::geteuid() != 0)
                QSKIP("needs root: the resolver is replaced in private namespaces");
            QProcess child;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("ORVANTA_UNDER_SILENTDNS"), QStringLiteral("1"));
            child.setProcessEnvironment(environment);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QStringLiteral(SILENTDNS_PATH),
                        {QStringLiteral("--silent"), QStringLiteral("3"),
                         QStringLiteral("--options"), QStringLiteral("timeout:5 attempts:2"),
                         QStringLiteral("--"), QCoreApplication::applicationFilePath(),
                         QStringLiteral("hostNameLookupBounded")});
            QVERIFY(child.waitForFinished(60000));
            const QByteArray output = child.readAll();
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     output.constData());
            QVERIFY2(!output.contains("silentdns: 0 queries"), output.constData());
            return;
        }

        Client link;
        link.remoteserver = QStringLiteral("kiosk-server.orvanta.test");
        link.remoteport = QStringLiteral("50001");
        link.connectTimeoutMs = 1500;
        link.validationWaitMs = link.reportWaitMs = 10000;
        const std::function<int()> exchanges[] = {
            [&] { return link.sendinput("900001", "P"); },
            [&] { return link.sendvendstatus("900001", "P"); },
            [&] { return link.sendcardvendstatus("12345678", "C", 2); },
            [&] {
                link.messagestring = QString(QChar(0)) + QChar(12) + QChar(0) + QChar(4) + "A=1&";
                return link.sendMessageTo(link.remoteserver, link.remoteport);
            },
        };
        for (const auto &exchange : exchanges) {
            QElapsedTimer timer;
            timer.start();
            QCOMPARE(exchange(), 9);
            QVERIFY2(timer.elapsed() < 1500 + 1000, qPrintable(QString::number(timer.elapsed())));
        }
        // The hosts file still answers while DNS is silent.
        RawServer server({{replyFrame("RangeOK=1&")}});
        link.remoteserver = QStringLiteral("localhost");
        link.remoteport = QString::number(server.port());
        QCOMPARE(link.sendinput("900001", "P"), 1);
    }
};

QTEST_GUILESS_MAIN(ExchangeTest)
#include "tst_exchange.moc"
