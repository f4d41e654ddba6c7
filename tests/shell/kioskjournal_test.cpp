#include "shelltesting.h"

#include "journaltesting.h"
#include "link/linkclient.h"
#include "link/wireformat.h"
#include "platform/errors.h"
#include "platform/linejournal.h"
#include "platform/stopcontrol.h"
#include "shell/kioskjournal.h"
#include "shell/kioskstart.h"
#include "simfixture.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray simData = R"({
    "prices": [ {"balls": 30, "price": "20.00"}, {"balls": 60, "price": "35.00"},
                {"balls": 90, "price": "50.00"} ],
    "cards": [ {"number": "12345678", "balance": "250.00"} ],
    "vouchers": [ {"number": "900020", "balls": 20, "used": false},
                  {"number": "900099", "balls": 40, "used": true} ] })";

// A link whose reply parser lets one more exchange in, as a queued reader Enter would.
class NestingLink : public LinkClient
{
public:
    std::function<void()> nested;

protected:
    void pumpMessages() override
    {
        if (auto call = std::exchange(nested, nullptr))
            call();
    }
};

} // namespace

// orvanta --log: a line per exchange, start and end, written by a thread of its own so that
// a reader that stalls never holds up the kiosk.
class KioskJournalTest : public QObject
{
    Q_OBJECT

private slots:
    // Every way an exchange ends, told in the journal's words; the usage reports that the
    // server did not confirm with 1 are the ones marked.
    void tellsEveryExchange()
    {
        SimFixture sim(simData);
        Pipe pipe;
        NestingLink link;
        link.remoteserver = QStringLiteral("127.0.0.1");
        link.remoteport = QString::number(sim.port());
        {
            KioskJournal journal(pipe.writeEnd());
            journal.started(link);

            QCOMPARE(link.sendinput(QStringLiteral("900020"), QStringLiteral("P")), 1);
            QCOMPARE(link.sendvendstatus(QStringLiteral("900020"), QStringLiteral("P")), 1);
            QCOMPARE(link.sendinput(QStringLiteral("12345678"), QStringLiteral("C")), 1);
            QCOMPARE(link.sendcardvendstatus(QStringLiteral("12345678"), QStringLiteral("C"), 2),
                     1);
            // Refused by the server: the voucher was used already.
            QCOMPARE(link.sendvendstatus(QStringLiteral("900099"), QStringLiteral("P")), 0);
            // Refused by the link itself, before any connection.
            QCOMPARE(link.sendcardvendstatus(QStringLiteral("1234 5678"), QStringLiteral("C"), 1),
                     linkresult::refusedByLink);
            // Another exchange while one runs is refused as busy.
            link.nested = [&] {
                link.sendcardvendstatus(QStringLiteral("12345678"), QStringLiteral("C"), 3);
            };
            QCOMPARE(link.sendinput(QStringLiteral("12345678"), QStringLiteral("C")), 1);
            // The technician's Send names the reference of its frame.
            link.messagestring = wire::frameText(wire::validationBody(
                QStringLiteral("P"), QStringLiteral("AB-77"), QStringLiteral("01%2F02%2F26"),
                QStringLiteral("10%3A00%3A00")));
            QCOMPARE(link.sendMessageTo(QStringLiteral("127.0.0.1"), link.remoteport), 0);
            // A port that is no port leaves the exchange by an error.
            link.remoteport = QStringLiteral("no-such-service");
            QVERIFY_THROWS_EXCEPTION(ConversionError, link.sendvendstatus(QStringLiteral("900020"),
                                                                          QStringLiteral("P")));
            // No server: the report is lost.
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            link.remoteport = QString::number(closed.serverPort());
            closed.close();
            QCOMPARE(link.sendvendstatus(QStringLiteral("900020"), QStringLiteral("P")), 9);
            journal.ended(0);
        }
        const QString port = QString::number(sim.port());
        const QStringList expected{QStringLiteral("start version=%1 server=127.0.0.1 port=%2")
                                       .arg(QStringLiteral(ORVANTA_VERSION), port),
                                   "voucher-validation ref=0020 group=- result=1",
                                   "voucher-report ref=0020 group=- result=1",
                                   "card-validation ref=5678 group=- result=1",
                                   "card-report ref=5678 group=2 result=1",
                                   "voucher-report ref=0099 group=- result=0 UNCONFIRMED",
                                   "card-report ref=5678 group=1 result=refused-by-link "
                                   "UNCONFIRMED why=\"refused by the link: Reference holds a "
                                   "blank or control character\"",
                                   "card-report ref=5678 group=3 result=busy UNCONFIRMED",
                                   "card-validation ref=5678 group=- result=1",
                                   "test-send ref=B-77 group=- result=0",
                                   "voucher-report ref=0020 group=- result=error UNCONFIRMED",
                                   "voucher-report ref=0020 group=- result=9 UNCONFIRMED "
                                   "why=\"no connection to the server\"",
                                   "end exit=0"};
        QCOMPARE(journalLines(pipe.drain()), expected);
    }

    // A bucket's lines (its start, its usage report, an UNCONFIRMED one) are what a range
    // reconciles by: on systemd's journal stream they go out at critical priority, which
    // journald writes to disk at once, with every line before them. Elsewhere the lines
    // stay plain.
    void bucketLinesAreCriticalOnTheJournalStream_data()
    {
        QTest::addColumn<bool>("journalStream");
        // Fault caught: bucket lines left at journald's default priority, lost in a power
        // cut before its next sync.
        QTest::newRow("on the journal stream: <2> for bucket lines, <6> for others") << true;
        // Fault caught: "<2>" prefixes on a terminal or in a file, where nobody strips them.
        QTest::newRow("elsewhere: plain lines") << false;
    }

    void bucketLinesAreCriticalOnTheJournalStream()
    {
        QFETCH(bool, journalStream);
        SimFixture sim(simData);
        Pipe pipe;
        struct stat status
        {
        };
        QCOMPARE(::fstat(pipe.writeEnd(), &status), 0);
        // Another stream's numbers name another descriptor: not ours.
        const QByteArray stream = journalStream
                                      ? QByteArray::number(qulonglong(status.st_dev)) + ':' +
                                            QByteArray::number(qulonglong(status.st_ino))
                                      : QByteArray("1:2");
        qputenv("JOURNAL_STREAM", stream);
        LinkClient link;
        link.remoteserver = QStringLiteral("127.0.0.1");
        link.remoteport = QString::number(sim.port());
        {
            KioskJournal journal(pipe.writeEnd());
            qunsetenv("JOURNAL_STREAM");
            QCOMPARE(journal.lines().onJournalStream(), journalStream);
            journal.started(link);
            platform::StopControl stops(&journal.lines());
            QCOMPARE(link.sendinput(QStringLiteral("900020"), QStringLiteral("P")), 1);
            platform::Bucket bucket;
            bucket.screen = QStringLiteral("voucher");
            bucket.reference = QStringLiteral("0020");
            bucket.balls = 20;
            stops.bucketStarted(bucket);
            stops.reportStarted();
            QCOMPARE(link.sendvendstatus(QStringLiteral("900020"), QStringLiteral("P")), 1);
            stops.reportEnded();
            stops.bucketEnded();
        }
        QStringList got;
        for (const QByteArray &line : pipe.drain().split('\n')) {
            if (line.isEmpty())
                continue;
            // The priority, and the line's words after the time stamp.
            static const QRegularExpression form(
                QStringLiteral("^(<\\d>)?\\d{4}-\\d\\d-\\d\\dT[\\d:.]+ (\\S+)"));
            const QRegularExpressionMatch m = form.match(QString::fromUtf8(line));
            QVERIFY2(m.hasMatch(), line.constData());
            got << m.captured(1) + m.captured(2);
        }
        const QStringList expected =
            journalStream
                ? QStringList{"<6>start", "<6>voucher-validation", "<2>bucket-start",
                              "<2>voucher-report"}
                : QStringList{"start", "voucher-validation", "bucket-start", "voucher-report"};
        QCOMPARE(got, expected);
    }

    // The caller's time does not depend on the reader: with nobody reading, thousands of
    // lines cost little, the surplus is dropped, and ending the journal is bounded.
    void neverWaitsForAReader()
    {
        Pipe pipe;
        const QString line = QStringLiteral("voucher-validation ref=0020 group=- result=1 ms=12 ") +
                             QString(150, QLatin1Char('x'));
        QElapsedTimer timer;
        std::uint64_t dropped = 0;
        qint64 writing = 0;
        {
            platform::LineJournal journal(pipe.writeEnd(), 64);
            timer.start();
            for (int i = 0; i < 20000; ++i)
                journal.write(line);
            writing = timer.elapsed();
            dropped = journal.dropped();
            timer.restart();
        }
        const qint64 ending = timer.elapsed();
        QVERIFY2(writing < 2000, qPrintable(QString::number(writing)));
        QVERIFY(dropped > 0);
        QVERIFY2(ending < platform::LineJournal::drainMs + 2000,
                 qPrintable(QString::number(ending)));
        const QStringList got = journalLines(pipe.drain());
        QVERIFY(!got.isEmpty());
        QVERIFY(got.size() < 20000);
        QVERIFY(!got.contains(QString()));
    }

    // Dropped lines are counted, and the count is told where they are missing.
    void tellsWhereLinesWereDropped()
    {
        Pipe pipe;
        const int total = 3000;
        std::uint64_t dropped = 0;
        QByteArray bytes;
        {
            platform::LineJournal journal(pipe.writeEnd(), 16);
            for (int i = 0; i < total; ++i)
                journal.write(QStringLiteral("line %1 ").arg(i) + QString(100, QLatin1Char('x')));
            dropped = journal.dropped();
            // The reader comes back; what is still queued, and the counts, get through.
            QElapsedTimer timer;
            timer.start();
            while (!journal.flush(10) && timer.elapsed() < 5000)
                bytes += pipe.drain();
            QVERIFY(journal.flush(1000));
        }
        bytes += pipe.drain();
        QVERIFY(dropped > 0);

        static const QRegularExpression numbered(QStringLiteral("^line (\\d+) x+$"));
        static const QRegularExpression notice(
            QStringLiteral("^journal: (\\d+) lines dropped, the reader was too slow$"));
        int expectedNext = 0;
        std::uint64_t told = 0;
        for (const QString &line : journalLines(bytes)) {
            if (const auto m = notice.match(line); m.hasMatch()) {
                expectedNext += m.captured(1).toInt();
                told += m.captured(1).toULongLong();
                continue;
            }
            const auto m = numbered.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QCOMPARE(m.captured(1).toInt(), expectedNext);
            ++expectedNext;
        }
        QCOMPARE(expectedNext, total);
        QCOMPARE(told, dropped);
    }

    // Without --log the kiosk writes nothing of its own to standard error; with it, its
    // start and its end.
    void kioskWritesOnlyWhenAsked_data()
    {
        QTest::addColumn<bool>("log");
        QTest::newRow("without --log") << false;
        QTest::newRow("with --log") << true;
    }

    void kioskWritesOnlyWhenAsked()
    {
        QFETCH(bool, log);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        Pipe pipe;
        const int savedError = ::dup(2);
        ::dup2(pipe.writeEnd(), 2);
        KioskOptions options;
        options.log = log;
        options.quitWhenShown = true;
        const int code = runKiosk(options,
                                  QStringLiteral("Orvanta_IsRunning_journal_test_%1")
                                      .arg(QCoreApplication::applicationPid()),
                                  writeSettings(dir));
        ::dup2(savedError, 2);
        ::close(savedError);
        QCOMPARE(code, 0);

        QStringList ours;
        for (const QString &line : journalLines(pipe.drain())) {
            if (!line.isEmpty())
                ours << line;
        }
        if (!log) {
            QCOMPARE(ours, QStringList());
            return;
        }
        QCOMPARE(ours.size(), 2);
        QCOMPARE(ours.first(), QStringLiteral("start version=%1 server=127.0.0.1 port=50001")
                                   .arg(QStringLiteral(ORVANTA_VERSION)));
        QCOMPARE(ours.last(), QStringLiteral("end exit=0"));
    }
};

ORVANTA_SHELL_TEST_MAIN(KioskJournalTest)
#include "kioskjournal_test.moc"
