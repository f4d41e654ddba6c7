// The simulated management server against raw sockets: what the kiosk sends, byte for byte.

#include "support/simfixture.h"
#include "tools/quillmark-sim/simserver.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray data = R"({
    "prices": [ {"balls": 30, "price": "20.00"}, {"balls": 60, "price": "35.00"},
                {"balls": 90, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"},
               {"number": "22223333", "balance": "27.50"},
               {"number": "33334444", "balance": "12.50"} ],
    "vouchers": [ {"number": "900040", "balls": 40, "used": false},
                  {"number": "900099", "balls": 40, "used": true} ],
    "faults": {
        "F-delay":  {"mode": "delay", "ms": 400},
        "F-silent": {"mode": "silent", "ms": 800},
        "F-close":  {"mode": "close"},
        "F-split":  {"mode": "split", "ms": 400, "at": 4},
        "F-nofinalamp": {"mode": "nofinalamp"},
        "F-notanumber": {"mode": "notanumber"},
        "F-garbage": {"mode": "garbage"},
        "F-nine":   {"mode": "nine"},
        "F-raw":    {"mode": "raw", "body": "RangeOK=1&CardBalance=1%2C250%2E00&"},
        "F-bytes":  {"mode": "bytes", "body": "\u0000\u0004\u0000\u0004"}
    } })";

const QByteArray stamp = "Date=09%2F12%2F24&Time=14%3A05%3A30&";

QByteArray frame(const QByteArray &body)
{
    return QByteArray("\0", 1) + char(body.size() + 4) + QByteArray("\0\x04", 2) + body + "\r\n";
}

QByteArray validation(const QByteArray &type, const QByteArray &reference)
{
    return frame("Command=ValidateRangeId&RangeType=" + type + "&Reference=" + reference + "&" +
                 stamp);
}

QByteArray report(const QByteArray &type, const QByteArray &reference, int group = 0)
{
    const QByteArray issue = group ? "IssueGroup=" + QByteArray::number(group) + "&" : "";
    return frame("Command=SetRangeUsage&RangeType=" + type + "&Reference=" + reference + "&" +
                 issue + stamp);
}

struct Received
{
    QByteArray bytes;
    QList<qint64> arrivals; // ms after the send, one per read that brought bytes
    bool closed = false;
};

// Sends the bytes and reads until the server closes the connection or timeoutMs passes.
Received exchange(quint16 port, const QByteArray &bytes, int timeoutMs = 3000)
{
    Received received;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return received;
    socket.write(bytes);
    socket.waitForBytesWritten(2000);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        const bool more =
            socket.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - clock.elapsed())));
        const QByteArray chunk = socket.readAll();
        if (!chunk.isEmpty()) {
            received.bytes += chunk;
            received.arrivals.append(clock.elapsed());
        }
        if (socket.state() != QAbstractSocket::ConnectedState) {
            received.closed = true;
            break;
        }
        if (!more && socket.error() == QAbstractSocket::RemoteHostClosedError) {
            received.closed = true;
            break;
        }
    }
    return received;
}

QJsonObject find(const QJsonObject &state, const QString &list, const QString &number)
{
    for (const QJsonValue &entry : state.value(list).toArray()) {
        if (entry[QStringLiteral("number")].toString() == number)
            return entry.toObject();
    }
    return {};
}

} // namespace

class TestQuillmarkSim : public QObject
{
    Q_OBJECT
private slots:
    void cardValidation();
    void voucherValidatedThenUsed();
    void cardUsageTakesThePrice_data();
    void cardUsageTakesThePrice();
    void faultModes_data();
    void faultModes();
    void faultsWithoutReplyChangeNothing();
    void malformedRequests_data();
    void malformedRequests();
    void silentConnectionClosed();
    void executableKeepsStateAcrossRestart();
};

void TestQuillmarkSim::cardValidation()
{
    SimFixture sim(data);
    const QByteArray request = validation("C", "12345678");
    QCOMPARE(request.size(), 97);

    const Received accepted = exchange(sim.port(), request);
    const QByteArray body = "RangeOK=1&CardBalance=250%2E00&Number1=30&Number2=60&Number3=90&"
                            "Price1=20%2E00&Price2=35%2E00&Price3=50%2E00&";
    QCOMPARE(accepted.bytes, frame(body));
    QCOMPARE(accepted.bytes.size(), 115);
    QCOMPARE(accepted.bytes.at(1), char(0x71));
    QVERIFY(accepted.closed);

    QCOMPARE(exchange(sim.port(), validation("C", "11111111")).bytes,
             frame("RangeOK=0&Error=Card+not+valid&"));

    QVERIFY(sim.waitForRequests(2, 1000));
    const SimRequest first = sim.requests().first();
    QCOMPARE(first.command, QStringLiteral("ValidateRangeId"));
    QCOMPARE(first.rangeType, QStringLiteral("C"));
    QCOMPARE(first.reference, QStringLiteral("12345678"));
    QCOMPARE(first.date, QStringLiteral("09%2F12%2F24"));
    QCOMPARE(first.time, QStringLiteral("14%3A05%3A30"));
    QVERIFY(first.issueGroup.isEmpty());
    QCOMPARE(first.raw, request);
    sim.clearRequests();
    QVERIFY(sim.requests().isEmpty());

    QTemporaryDir dir;
    QFile config(sim.writeConfig(dir.path()));
    QCOMPARE(config.fileName(), dir.filePath("config.ini"));
    QVERIFY(config.open(QIODevice::ReadOnly));
    QCOMPARE(config.readAll(), "127.0.0.1\n" + QByteArray::number(sim.port()) + "\n.\n");
}

void TestQuillmarkSim::voucherValidatedThenUsed()
{
    SimFixture sim(data);
    QCOMPARE(exchange(sim.port(), validation("P", "900040")).bytes,
             frame("RangeOK=1&Number1=40&Number2=0&Number3=0&"));
    QVERIFY(!find(sim.state(), "vouchers", "900040")["used"].toBool());

    QCOMPARE(exchange(sim.port(), report("P", "900040")).bytes,
             frame("RangeOK=1&Number1=40&Status=Redeemed&"));
    QVERIFY(find(sim.state(), "vouchers", "900040")["used"].toBool());

    const QByteArray refused = frame("RangeOK=0&Error=Voucher+already+used&");
    QCOMPARE(exchange(sim.port(), validation("P", "900040")).bytes, refused);
    QCOMPARE(exchange(sim.port(), report("P", "900040")).bytes, refused);
    QCOMPARE(exchange(sim.port(), validation("P", "900099")).bytes, refused);
    QCOMPARE(exchange(sim.port(), validation("P", "123")).bytes,
             frame("RangeOK=0&Error=Voucher+not+valid&"));

    QVERIFY(sim.waitForRequests(6, 1000));
    QCOMPARE(sim.requests().at(1).command, QStringLiteral("SetRangeUsage"));
    QCOMPARE(sim.requests().at(1).rangeType, QStringLiteral("P"));
}

void TestQuillmarkSim::cardUsageTakesThePrice_data()
{
    QTest::addColumn<QByteArray>("card");
    QTest::addColumn<int>("group");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("balanceAfter");
    QTest::newRow("small") << QByteArray("12345678") << 1
                           << QByteArray("RangeOK=1&CardBalance=230%2E00&") << "230.00";
    QTest::newRow("medium") << QByteArray("12345678") << 2
                            << QByteArray("RangeOK=1&CardBalance=215%2E00&") << "215.00";
    QTest::newRow("large") << QByteArray("12345678") << 3
                           << QByteArray("RangeOK=1&CardBalance=200%2E00&") << "200.00";
    QTest::newRow("small, exactly affordable")
        << QByteArray("22223333") << 1 << QByteArray("RangeOK=1&CardBalance=7%2E50&") << "7.50";
    QTest::newRow("partial small bucket takes the whole credit")
        << QByteArray("33334444") << 1 << QByteArray("RangeOK=1&CardBalance=0%2E00&") << "0.00";
    QTest::newRow("medium beyond the balance")
        << QByteArray("22223333") << 2 << QByteArray("RangeOK=0&Error=Insufficient+balance&")
        << "27.50";
    QTest::newRow("no such group")
        << QByteArray("12345678") << 4 << QByteArray("RangeOK=0&Error=Invalid+issue+group&")
        << "250.00";
    QTest::newRow("unknown card") << QByteArray("999") << 1
                                  << QByteArray("RangeOK=0&Error=Card+not+valid&") << QString();
}

void TestQuillmarkSim::cardUsageTakesThePrice()
{
    QFETCH(QByteArray, card);
    QFETCH(int, group);
    QFETCH(QByteArray, reply);
    QFETCH(QString, balanceAfter);
    SimFixture sim(data);
    QCOMPARE(exchange(sim.port(), report("C", card, group)).bytes, frame(reply));
    QCOMPARE(find(sim.state(), "cards", card)["balance"].toString(), balanceAfter);
    QCOMPARE(sim.requests().first().issueGroup, QString::number(group));
}

void TestQuillmarkSim::faultModes_data()
{
    QTest::addColumn<QByteArray>("reference");
    QTest::addColumn<QByteArray>("expected"); // whole bytes received; empty: none
    QTest::addColumn<int>("minFirstMs");      // earliest arrival of the first bytes
    QTest::addColumn<int>("minClosedMs");     // a silent server holds the line at least this
    const QByteArray refusal = frame("RangeOK=0&Error=Card+not+valid&");
    // Not a moment early: a reply meant to come just after a client's bound must not come
    // before it.
    QTest::newRow("delay") << QByteArray("F-delay") << refusal << 395 << 0;
    QTest::newRow("silent") << QByteArray("F-silent") << QByteArray() << 0 << 600;
    QTest::newRow("close") << QByteArray("F-close") << QByteArray() << 0 << 0;
    QTest::newRow("split") << QByteArray("F-split") << refusal << 0 << 0;
    QTest::newRow("nofinalamp") << QByteArray("F-nofinalamp")
                                << frame("RangeOK=0&Error=Card+not+valid") << 0 << 0;
    QTest::newRow("notanumber") << QByteArray("F-notanumber")
                                << frame("RangeOK=0x&Error=Card+not+valid&") << 0 << 0;
    QTest::newRow("nine") << QByteArray("F-nine") << frame("RangeOK=9&Error=Server+busy&") << 0
                          << 0;
    QTest::newRow("raw") << QByteArray("F-raw") << frame("RangeOK=1&CardBalance=1%2C250%2E00&") << 0
                         << 0;
    QTest::newRow("bytes") << QByteArray("F-bytes") << QByteArray("\0\x04\0\x04", 4) << 0 << 0;
}

void TestQuillmarkSim::faultModes()
{
    QFETCH(QByteArray, reference);
    QFETCH(QByteArray, expected);
    QFETCH(int, minFirstMs);
    QFETCH(int, minClosedMs);
    SimFixture sim(data);
    QElapsedTimer clock;
    clock.start();
    const Received received = exchange(sim.port(), validation("C", reference));
    QVERIFY(received.closed);
    QCOMPARE(received.bytes, expected);
    if (!expected.isEmpty())
        QVERIFY2(received.arrivals.first() >= minFirstMs,
                 qPrintable(QString::number(received.arrivals.first())));
    QVERIFY(clock.elapsed() >= minClosedMs);
    if (reference == "F-split") {
        // The header comes on its own; the rest only after the pause.
        QCOMPARE(received.arrivals.size(), 2);
        QVERIFY(received.arrivals.at(1) - received.arrivals.at(0) >= 300);
    }
}

void TestQuillmarkSim::faultsWithoutReplyChangeNothing()
{
    // notanumber on an accepted card spoils a ball count, and still takes the price.
    SimFixture sim(data, [](SimServer &server) { server.globalFault.mode = "notanumber"; });
    const QByteArray spoiled = exchange(sim.port(), validation("C", "12345678")).bytes;
    QVERIFY2(spoiled.contains("&Number1=30x&"), spoiled.constData() + 4);
    exchange(sim.port(), report("C", "12345678", 1));
    QCOMPARE(find(sim.state(), "cards", "12345678")["balance"].toString(), "230.00");

    SimFixture garbage(data, [](SimServer &server) { server.globalFault.mode = "garbage"; });
    const Received noise = exchange(garbage.port(), report("P", "900040"));
    QCOMPARE(noise.bytes.size(), 64);
    QVERIFY(noise.closed);
    for (const char *mode : {"close", "silent", "garbage", "nine"}) {
        SimFixture faulty(data, [mode](SimServer &server) {
            server.globalFault.mode = mode;
            server.globalFault.ms = 100;
        });
        exchange(faulty.port(), report("P", "900040"));
        exchange(faulty.port(), report("C", "12345678", 3));
        QVERIFY2(!find(faulty.state(), "vouchers", "900040")["used"].toBool(), mode);
        QCOMPARE(find(faulty.state(), "cards", "12345678")["balance"].toString(), "250.00");
    }
}

void TestQuillmarkSim::malformedRequests_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("refused"); // a refusal comes back; otherwise no reply at all
    const QByteArray body = "Command=ValidateRangeId&RangeType=C&Reference=12345678&" + stamp;
    QByteArray wrongLength = frame(body);
    wrongLength[1] = char(wrongLength.at(1) + 1);
    QByteArray badHeader = frame(body);
    badHeader[3] = '\x05';
    QTest::newRow("wrong length byte") << wrongLength << true;
    QTest::newRow("bad header") << badHeader << true;
    QTest::newRow("body without items") << frame("hello") << true;
    QTest::newRow("no command") << frame("RangeType=C&Reference=1&") << true;
    QTest::newRow("unknown command") << frame("Command=Nope&RangeType=C&") << true;
    QTest::newRow("unknown range type")
        << frame("Command=ValidateRangeId&RangeType=X&Reference=1&") << true;
    QTest::newRow("bare line end") << QByteArray("\r\n") << false;
    QTest::newRow("endless line") << QByteArray(4000, 'A') << true;
    QTest::newRow("zeros then line end") << QByteArray(300, '\0') + "\r\n" << true;
}

void TestQuillmarkSim::malformedRequests()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, refused);
    SimFixture sim(data, [](SimServer &server) { server.idleTimeoutMs = 300; });
    const Received received = exchange(sim.port(), bytes);
    QVERIFY(received.closed);
    if (refused)
        QVERIFY2(received.bytes.mid(4).startsWith("RangeOK=0&Error="),
                 qPrintable(received.bytes.toPercentEncoding()));
    else
        QVERIFY(received.bytes.isEmpty());
    // Still serving.
    QCOMPARE(exchange(sim.port(), validation("C", "12345678")).bytes.mid(4, 10),
             QByteArray("RangeOK=1&"));
}

void TestQuillmarkSim::silentConnectionClosed()
{
    SimFixture sim(data, [](SimServer &server) { server.idleTimeoutMs = 300; });
    QElapsedTimer clock;
    clock.start();
    const Received nothing = exchange(sim.port(), QByteArray());
    QVERIFY(nothing.closed);
    QVERIFY(nothing.bytes.isEmpty());
    QVERIFY(clock.elapsed() >= 250);
    QVERIFY(sim.requests().isEmpty());
}

void TestQuillmarkSim::executableKeepsStateAcrossRestart()
{
    QTemporaryDir dir;
    const QString dataPath = dir.filePath("data.json");
    QFile file(dataPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
    file.close();

    auto start = [&](QProcess &process, const QStringList &extra) -> quint16 {
        process.start(QUILLMARK_SIM_EXE,
                      QStringList{"--data", dataPath, "--port", "0", "--quiet"} + extra);
        if (!process.waitForReadyRead(5000))
            return 0;
        const QByteArray line = process.readLine().trimmed();
        if (!line.startsWith("listening on 127.0.0.1:"))
            return 0;
        return quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
    };
    {
        QProcess first;
        const quint16 port = start(first, {"--write-config", dir.path(), "--separator", ","});
        QVERIFY(port != 0);
        QFile config(dir.filePath("config.ini"));
        QVERIFY(config.open(QIODevice::ReadOnly));
        QCOMPARE(config.readAll(), "127.0.0.1\n" + QByteArray::number(port) + "\n,\n");
        QCOMPARE(exchange(port, report("P", "900040")).bytes.mid(4, 10), QByteArray("RangeOK=1&"));
        exchange(port, report("C", "12345678", 2));
        first.kill();
        first.waitForFinished(5000);
    }
    QProcess second;
    const quint16 port = start(second, {});
    QVERIFY(port != 0);
    QCOMPARE(exchange(port, validation("P", "900040")).bytes,
             frame("RangeOK=0&Error=Voucher+already+used&"));
    QVERIFY(exchange(port, validation("C", "12345678")).bytes.contains("CardBalance=215%2E00&"));
    second.kill();
    second.waitForFinished(5000);

    // A fault flag applies to every request.
    QProcess faulty;
    const quint16 faultyPort = start(faulty, {"--fault", "nine"});
    QVERIFY(faultyPort != 0);
    QCOMPARE(exchange(faultyPort, validation("C", "12345678")).bytes,
             frame("RangeOK=9&Error=Server+busy&"));
    faulty.kill();
    faulty.waitForFinished(5000);
}

QTEST_GUILESS_MAIN(TestQuillmarkSim)
#include "tst_quillmarksim.moc"
