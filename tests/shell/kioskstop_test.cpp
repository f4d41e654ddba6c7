// How the real kiosk ends on a stop, and what it leaves for the range to reconcile by: a
// copy of build/orvanta as a child process with --log, its journal on a pipe, against the
// simulated server, driven like a customer through the X server (xdotool) on the virtual
// display of tests/screens/onxserver.sh. As root the test runs in a network namespace of
// its own, so that the kiosk's single-instance guard and the server's port are this run's.

#include "kioskchild.h"
#include "simfixture.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray simData = R"({
    "prices": [ {"balls": 30, "price": "20.00"}, {"balls": 60, "price": "35.00"},
                {"balls": 90, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"} ],
    "vouchers": [ {"number": "900040", "balls": 40, "used": false},
                  {"number": "900010", "balls": 10, "used": false},
                  {"number": "900005", "balls": 5, "used": false} ],
    "faults": { "900005": {"mode": "delay", "ms": 2500} } })";

// Where the controls lie on a 1024 x 768 screen without a window manager.
const QPoint barcodeChoice(471, 313);
const QPoint cardChoice(568, 466);
const QPoint voucherBucket(283, 260);
const QPoint smallBucket(275, 268);

bool xdotool(const QStringList &arguments)
{
    QProcess tool;
    tool.setStandardOutputFile(QProcess::nullDevice());
    tool.start(QStringLiteral("xdotool"), arguments);
    return tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

bool touch(const QPoint &point)
{
    return xdotool({QStringLiteral("mousemove"), QString::number(point.x()),
                    QString::number(point.y()), QStringLiteral("click"), QStringLiteral("1")});
}

bool typeRead(const QString &number)
{
    return xdotool(
               {QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), number}) &&
           xdotool({QStringLiteral("key"), QStringLiteral("Return")});
}

// A network namespace of the test's own with its loopback up, before any thread exists.
void privateNetwork()
{
    if (::geteuid() != 0)
        return;
    if (::unshare(CLONE_NEWNET) != 0)
        qFatal("unshare(CLONE_NEWNET): %s", std::strerror(errno));
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd < 0 || ::ioctl(fd, SIOCGIFFLAGS, &request) != 0)
        qFatal("loopback: %s", std::strerror(errno));
    request.ifr_flags |= IFF_UP;
    if (::ioctl(fd, SIOCSIFFLAGS, &request) != 0)
        qFatal("loopback up: %s", std::strerror(errno));
    ::close(fd);
}

int usageReports(const SimFixture &sim, const QString &reference)
{
    int count = 0;
    for (const SimRequest &request : sim.requests())
        count +=
            request.command == QLatin1String("SetRangeUsage") && request.reference == reference;
    return count;
}

enum class When { Count, Report, Pause };

} // namespace

class KioskStopTest : public QObject
{
    Q_OBJECT

    // A kiosk started with --log against the server and showing its main screen.
    static bool startKiosk(KioskChild &kiosk, const QStringList &more = {})
    {
        if (!kiosk.start(QStringList{QStringLiteral("--log")} + more))
            return false;
        if (!kiosk.waitForLine(QStringLiteral("^start version="), 20000))
            return false;
        // The main screen on the display, so that the first touch reaches it.
        QElapsedTimer timer;
        timer.start();
        while (!xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                         QStringLiteral("--name"), QStringLiteral("^Orvanta$")})) {
            if (timer.elapsed() > 20000)
                return false;
            QTest::qWait(100);
        }
        QTest::qWait(500);
        return true;
    }

    // From the main screen to the first step of the bucket's count.
    static bool touchBucket(KioskChild &kiosk, bool card, const QString &number)
    {
        if (!touch(card ? cardChoice : barcodeChoice))
            return false;
        QTest::qWait(700);
        if (!typeRead(number))
            return false;
        const QString validated =
            QStringLiteral("^%1-validation ref=%2 group=- result=1$")
                .arg(card ? QStringLiteral("card") : QStringLiteral("voucher"), number.right(4));
        if (!kiosk.waitForLine(validated, 20000))
            return false;
        QTest::qWait(300);
        return touch(card ? smallBucket : voucherBucket) &&
               kiosk.waitForLine(QStringLiteral("^bucket-start "), 10000);
    }

private slots:
    void initTestCase()
    {
        if (qgetenv("QT_QPA_PLATFORM") != "xcb" || qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("drives the kiosk through an X server: run under tests/screens/onxserver.sh");
    }

    // A stop (systemd's stop, a reboot, a package upgrade's restart) that arrives while a
    // bucket is under way waits: the count goes on as paced, the usage report reaches the
    // server and the journal, and then the kiosk ends.
    void stopWaitsForTheBucket_data()
    {
        QTest::addColumn<bool>("card");
        QTest::addColumn<QString>("number");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("when");
        // Fault caught: the stop acted on at the count's next message pump, the voucher
        // never reported and so still good for a second bucket.
        QTest::newRow("TERM during a voucher's count")
            << false << "900040" << SIGTERM << int(When::Count);
        // Fault caught: only SIGTERM held, Ctrl+C still ending the count.
        QTest::newRow("INT during a voucher's count")
            << false << "900010" << SIGINT << int(When::Count);
        // Fault caught: the hold kept on one screen only; the card never charged.
        QTest::newRow("HUP during a card's count")
            << true << "12345678" << SIGHUP << int(When::Count);
        // Fault caught: the stop acted on at the reply parser's pump, before the answer is
        // journalled.
        QTest::newRow("TERM during the voucher's usage report (the server answers late)")
            << false << "900005" << SIGTERM << int(When::Report);
        // Fault caught: the kiosk ending in the pause after the report, before it shows
        // the main screen again, or the hold never let go.
        QTest::newRow("TERM in the pause after the report")
            << false << "900010" << SIGTERM << int(When::Pause);
    }

    void stopWaitsForTheBucket()
    {
        QFETCH(bool, card);
        QFETCH(QString, number);
        QFETCH(int, signal);
        QFETCH(int, when);
        SimFixture sim(simData);
        KioskChild kiosk(QStringLiteral("127.0.0.1\n%1\n.\n").arg(sim.port()).toLatin1());
        QVERIFY(startKiosk(kiosk));
        QVERIFY2(touchBucket(kiosk, card, number), qPrintable(kiosk.lines().join('\n')));
        QVERIFY2(QFile::exists(kiosk.recordPath()), "no record of the bucket under way");

        const QString report =
            card ? QStringLiteral("card-report ref=5678 group=1 result=1")
                 : QStringLiteral("voucher-report ref=%1 group=- result=1").arg(number.right(4));
        if (when == int(When::Count)) {
            QTest::qWait(card ? 1000 : 1500);
        } else if (when == int(When::Report)) {
            QVERIFY(sim.waitForRequests(2, 15000));
            QCOMPARE(usageReports(sim, number), 1);
        } else {
            QVERIFY(kiosk.waitForLine(QLatin1Char('^') + report + QLatin1Char('$'), 15000));
            QTest::qWait(300);
        }
        QElapsedTimer sinceStop;
        sinceStop.start();
        kiosk.signal(signal);
        QTest::qWait(300);
        QVERIFY2(kiosk.running(), "the stop did not wait for the bucket");
        QVERIFY(kiosk.waitForEnd(30000));
        QCOMPARE(kiosk.endSignal(), signal);

        QCOMPARE(usageReports(sim, number), 1);
        const QStringList lines = kiosk.lines();
        QVERIFY2(lines.contains(report), qPrintable(lines.join('\n')));
        const QString endLine = QStringLiteral("end signal=%1 (%2)")
                                    .arg(signal)
                                    .arg(QLatin1String(signal == SIGTERM  ? "SIGTERM"
                                                       : signal == SIGINT ? "SIGINT"
                                                                          : "SIGHUP"));
        QVERIFY2(lines.contains(endLine), qPrintable(lines.join('\n')));
        QVERIFY(lines.indexOf(report) < lines.indexOf(endLine));
        QVERIFY2(!lines.join('\n').contains(QStringLiteral("UNCONFIRMED")),
                 qPrintable(lines.join('\n')));
        QVERIFY(!QFile::exists(kiosk.recordPath()));
        // The server's ledger: the voucher is used, the card charged.
        if (!card) {
            const QJsonArray vouchers = sim.state().value(QStringLiteral("vouchers")).toArray();
            bool used = false;
            for (const QJsonValue &voucher : vouchers) {
                if (voucher[QStringLiteral("number")].toString() == number)
                    used = voucher[QStringLiteral("used")].toBool();
            }
            QVERIFY(used);
        }
    }

    // A second signal, or the stop time running out, ends the kiosk at once; the bucket
    // cut short is told UNCONFIRMED with the step it reached, and its record goes with
    // that line, so that the next start does not tell it twice.
    void stopCutsTheBucketShort_data()
    {
        QTest::addColumn<bool>("secondSignal");
        QTest::addColumn<QString>("why");
        // Fault caught: a second signal waited like the first (an operator's kill would
        // not end the kiosk), or ended it without a word of the bucket.
        QTest::newRow("a second TERM") << true << "by a second stop signal (SIGTERM)";
        // Fault caught: a count longer than the stop time held the stop until systemd's
        // SIGKILL, which leaves no line.
        QTest::newRow("the stop time runs out") << false << "the stop time of 2 s ran out";
    }

    void stopCutsTheBucketShort()
    {
        QFETCH(bool, secondSignal);
        QFETCH(QString, why);
        SimFixture sim(simData);
        KioskChild kiosk(QStringLiteral("127.0.0.1\n%1\n.\n").arg(sim.port()).toLatin1());
        QVERIFY(startKiosk(kiosk, {QStringLiteral("--stop-time"), QStringLiteral("2")}));
        QVERIFY(touchBucket(kiosk, false, QStringLiteral("900040")));
        QTest::qWait(800);
        QElapsedTimer timer;
        timer.start();
        kiosk.signal(SIGTERM);
        if (secondSignal) {
            QTest::qWait(400);
            QVERIFY(kiosk.running());
            timer.restart();
            kiosk.signal(SIGTERM);
        }
        QVERIFY(kiosk.waitForEnd(10000));
        const qint64 took = timer.elapsed();
        QCOMPARE(kiosk.endSignal(), SIGTERM);
        // At once: well before the 4 s the count had left, and within the stop time.
        QVERIFY2(took < (secondSignal ? 1500 : 3500), qPrintable(QString::number(took)));

        QCOMPARE(usageReports(sim, QStringLiteral("900040")), 0);
        const QStringList lines = kiosk.lines();
        static const QRegularExpression cut(
            QStringLiteral("^bucket screen=voucher ref=0040 group=- balls=40 started=\\S+ "
                           "UNCONFIRMED stopped at step (\\d+) of 41 \\(Dispensing: (\\d+)\\): "
                           "kiosk ended during the count,? (.*)$"));
        QString cutLine;
        for (const QString &line : lines) {
            if (cut.match(line).hasMatch())
                cutLine = line;
        }
        QVERIFY2(!cutLine.isEmpty(), qPrintable(lines.join('\n')));
        const QRegularExpressionMatch m = cut.match(cutLine);
        const int step = m.captured(1).toInt();
        // About 12 steps in for the second signal, about 28 at the stop time.
        QVERIFY2(step > 5 && step < 41, qPrintable(cutLine));
        QCOMPARE(m.captured(2).toInt(), 40 - (step - 1));
        QVERIFY2(m.captured(3).endsWith(why), qPrintable(cutLine));
        QVERIFY(lines.indexOf(cutLine) < lines.indexOf(QStringLiteral("end signal=15 (SIGTERM)")));
        QVERIFY(!QFile::exists(kiosk.recordPath()));
    }

    // SIGKILL (or a crash, or a power cut) gives the kiosk no word: the bucket's record
    // stays in the state folder, and the next start tells it UNCONFIRMED and removes it.
    // The report is not sent then: the request has no key that would let the server tell a
    // repeat, and a card would be charged twice.
    void killedCountIsToldAtTheNextStart()
    {
        SimFixture sim(simData);
        KioskChild kiosk(QStringLiteral("127.0.0.1\n%1\n.\n").arg(sim.port()).toLatin1());
        QVERIFY(startKiosk(kiosk));
        QVERIFY(touchBucket(kiosk, false, QStringLiteral("900040")));
        QTest::qWait(500);
        kiosk.signal(SIGKILL);
        QVERIFY(kiosk.waitForEnd(10000));
        QFile record(kiosk.recordPath());
        QVERIFY2(record.open(QIODevice::ReadOnly), "the killed count left no record");
        const QByteArray text = record.readAll();
        record.close();
        QVERIFY2(text.contains("screen=voucher\nref=0040\ngroup=-\nballs=40\n"), text.constData());
        QCOMPARE(QFile::permissions(kiosk.recordPath()) &
                     (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                 QFileDevice::Permissions());

        QVERIFY(kiosk.start({QStringLiteral("--log"), QStringLiteral("--quit-when-shown")}));
        QVERIFY(kiosk.waitForEnd(30000));
        QCOMPARE(kiosk.exitCode(), 0);
        const QStringList lines = kiosk.lines();
        static const QRegularExpression left(
            QStringLiteral("^bucket screen=voucher ref=0040 group=- balls=40 started=\\d{4}-\\S+ "
                           "UNCONFIRMED started, never reported: kiosk ended during the count$"));
        QCOMPARE(lines.filter(left).size(), 1);
        QVERIFY(!QFile::exists(kiosk.recordPath()));
        QCOMPARE(usageReports(sim, QStringLiteral("900040")), 0);
    }

    // The end line goes out on every stop, however soon after its signal the program ends.
    void endLineOnEveryStop_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("afterMs");
        // Fault caught, in every row: the end raised before the journal's thread wrote the
        // line (no flush on the stop), which lost it in 3 of 5 stops.
        QTest::newRow("TERM on the main screen") << SIGTERM << 0;
        QTest::newRow("INT on the main screen") << SIGINT << 0;
        QTest::newRow("HUP on the main screen") << SIGHUP << 0;
        QTest::newRow("TERM a second later") << SIGTERM << 1000;
        QTest::newRow("TERM once more") << SIGTERM << 0;
    }

    void endLineOnEveryStop()
    {
        QFETCH(int, signal);
        QFETCH(int, afterMs);
        KioskChild kiosk("127.0.0.1\n1\n.\n");
        QVERIFY(startKiosk(kiosk));
        QTest::qWait(afterMs);
        kiosk.signal(signal);
        QVERIFY(kiosk.waitForEnd(10000));
        QCOMPARE(kiosk.endSignal(), signal);
        const QStringList lines = kiosk.lines();
        QVERIFY2(
            !lines.filter(QRegularExpression(QStringLiteral("^end signal=%1 \\(SIG").arg(signal)))
                 .isEmpty(),
            qPrintable(lines.join('\n')));
    }

    // Qt's own warnings go through the journal's bounded queue: with standard error on a
    // pipe that nobody empties, a blocking write of the first one would stop the kiosk
    // before its main screen ever shows.
    void qtWarningsOnAFullPipe()
    {
        int ends[2];
        QCOMPARE(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
        char block[4096] = {};
        while (::write(ends[1], block, sizeof block) > 0) {
        }
        // The kiosk gets the pipe as a blocking one, as a shell would hand it over.
        ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) & ~O_NONBLOCK);
        KioskChild kiosk("127.0.0.1\n1\n.\n");
        // Qt's own messages, plenty of them, from the first moment.
        qputenv("QT_LOGGING_RULES", "qt.*=true");
        const bool started = kiosk.start({QStringLiteral("--quit-when-shown")}, ends[1]);
        qunsetenv("QT_LOGGING_RULES");
        ::close(ends[1]);
        QVERIFY(started);
        const bool ended = kiosk.waitForEnd(30000);
        ::close(ends[0]);
        QVERIFY2(ended, "the kiosk never showed its main screen");
        QCOMPARE(kiosk.exitCode(), 0);
    }
};

int main(int argc, char **argv)
{
    privateNetwork();
    QCoreApplication app(argc, argv);
    KioskStopTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "kioskstop_test.moc"
