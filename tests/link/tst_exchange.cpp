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

    // A reply in segments with pauses is read whole, up to its CR LF and no further.
    void splitReply_data()
    {
        QTest::addColumn<int>("cut");
        const int size = replyFrame(acceptedBody).size();
        QTest::newRow("after the header") << 4;
        QTest::newRow("in a value") << 40;
        QTest::newRow("between CR and LF") << size - 1;
        QTest::newRow("before the line end") << size - 2;
    }
    void splitReply()
    {
        QFETCH(int, cut);
        const QByteArray reply = replyFrame(acceptedBody);
        RawServer server({{reply.first(cut)}, {reply.mid(cut) + "RangeOK=5&\r\n", 250}});
        Client link(server.port());
        QCOMPARE(link.sendinput("12345678", "C"), 1);
        QCOMPARE(link.number3, 90);
        QCOMPARE(link.Price3, 50.0);
    }

    // A reply still without its line end when the bound passes is lost as a whole: read
    // in part it would give a ball count cut short (4 for 40). Ended by the peer, or at
    // 511 bytes, it is read as it is.
    void unterminatedReply()
    {
        const QByteArray part("\0\x1a\0\x04RangeOK=1&Number1=4", 23);
        {
            RawServer server({{part}, {"0&\r\n", 700}}, true);
            Client link(server.port());
            link.validationWaitMs = link.reportWaitMs = 400;
            QCOMPARE(link.sendinput("900001", "P"), 9);
            QCOMPARE(link.number1, 0);
            QCOMPARE(link.sendvendstatus("900001", "P"), 9);
            QVERIFY(!link.ClientSocket1.isOpen());
        }
        {
            RawServer server({{part + '0'}});
            Client link(server.port());
            QCOMPARE(link.sendinput("900001", "P"), 1);
            QCOMPARE(link.number1, 40);
        }
        const QByteArray head = QByteArray("\0\xff\0\x04", 4) + "RangeOK=0&Error=";
        RawServer server({{head + QByteArray(600, 'x')}}, true);
        Client link(server.port());
        QCOMPARE(link.sendinput("900001", "P"), 0);
        QCOMPARE(link.IPerror.size(), 511 - head.size());
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

    // Unsafe references and over-long requests are refused without any connection.
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
            QCOMPARE(link.sendinput(ref, "P"), 0);
            QCOMPARE(link.RangeOK, 0);
            QVERIFY(link.IPerror != QStringLiteral("old"));
            QVERIFY(!link.IPerror.contains(QLatin1Char(' ')));
            QCOMPARE(link.sendvendstatus(ref, "P"), 0);
            QCOMPARE(link.sendcardvendstatus(ref, "C", 1), 0);
        }
        QCOMPARE(link.transdate, QString());
        QCOMPARE(server.connections(), 0);
        // The empty reference and the longest one that fits are sent.
        QCOMPARE(link.sendinput(QString(), "P"), 1);
        QCOMPARE(link.sendinput(QString(168, QLatin1Char('9')), "P"), 1);
        QCOMPARE(server.connections(), 2);
        QCOMPARE(static_cast<unsigned char>(server.requests().last()[1]), 255);
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
        QCOMPARE(nested, LinkClient::refusedNested);
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
