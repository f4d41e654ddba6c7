#include "platform/hostlookup.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <arpa/inet.h>
#include <unistd.h>

// The bounded host lookup. The rows that need a resolver of their own run the probe under
// orvanta_silentdns, which gives it name servers that read every query and never answer,
// in private namespaces (root only).
class HostLookupTest : public QObject
{
    Q_OBJECT

    static quint32 dotted(const char *text)
    {
        in_addr address{};
        ::inet_pton(AF_INET, text, &address);
        return address.s_addr;
    }

    // Slack for the machine's load on top of a deadline: far below what the resolver's own
    // retries take (10 s and more in the rows below).
    static constexpr int slackMs = 1000;

private slots:
    void withoutResolver_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<QList<quint32>>("addresses");
        QTest::addColumn<bool>("timedOut");

        // A lookup of the empty name would ask for the local host's own addresses.
        QTest::newRow("empty name names no host")
            << QByteArray() << 2000 << QList<quint32>() << false;
        // Cut at the NUL, "localhost\0evil" would resolve as localhost.
        QTest::newRow("name with a NUL names no host")
            << QByteArray("localhost\0.example", 18) << 2000 << QList<quint32>() << false;
        QTest::newRow("deadline already passed: timed out at once")
            << QByteArray("localhost") << -1 << QList<quint32>() << true;
        QTest::newRow("hosts file")
            << QByteArray("localhost") << 2000 << QList<quint32>{dotted("127.0.0.1")} << false;
        QTest::newRow("dotted address")
            << QByteArray("127.0.0.7") << 2000 << QList<quint32>{dotted("127.0.0.7")} << false;
    }

    void withoutResolver()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, deadlineMs);
        QFETCH(QList<quint32>, addresses);
        QFETCH(bool, timedOut);

        const QDeadlineTimer deadline =
            deadlineMs < 0 ? QDeadlineTimer(0) : QDeadlineTimer(deadlineMs);
        const platform::HostLookupResult result = platform::lookupHostIPv4(name, deadline);
        QCOMPARE(result.addresses, addresses);
        QCOMPARE(result.timedOut, timedOut);
        // The notification lets go of its share just after it has woken the caller.
        QTRY_COMPARE_WITH_TIMEOUT(platform::unreleasedHostLookups(), 0, 2000);
    }

    void silentNameServers_data()
    {
        QTest::addColumn<QStringList>("dns");    // orvanta_silentdns options
        QTest::addColumn<QStringList>("lookup"); // name, deadline, parallel, release wait
        QTest::addColumn<QString>("addresses");  // of the first lookup, "-" for none
        QTest::addColumn<int>("timedOut");       // lookups that timed out
        QTest::addColumn<int>("slowestBelowMs"); // every call returned within this
        QTest::addColumn<bool>("dnsAsked");      // the silent servers got queries
        QTest::addColumn<int>("unreleased");     // -1: not checked

        const QString name = QStringLiteral("kiosk-server.orvanta.test");
        // glibc's own bound: 5 s per try, 2 tries, so 10 s before the connect could start.
        QTest::newRow("one silent server: lookup ends at its deadline")
            << QStringList{QStringLiteral("--silent"), QStringLiteral("1")}
            << QStringList{name, QStringLiteral("1500")} << QStringLiteral("-") << 1
            << 1500 + slackMs << true << -1;
        // 5 s x 2 tries x 3 servers: 30 s of retries the deadline has to cut short.
        QTest::newRow("three silent servers, timeout:5 attempts:2: still the deadline")
            << QStringList{QStringLiteral("--silent"), QStringLiteral("3"),
                           QStringLiteral("--options"), QStringLiteral("timeout:5 attempts:2")}
            << QStringList{name, QStringLiteral("1500")} << QStringLiteral("-") << 1
            << 1500 + slackMs << true << -1;
        // nsswitch.conf puts the hosts file first: a silent DNS must not delay it.
        QTest::newRow("hosts file answers at once while DNS is silent")
            << QStringList{QStringLiteral("--silent"), QStringLiteral("1")}
            << QStringList{QStringLiteral("localhost"), QStringLiteral("4000"), QStringLiteral("1"),
                           QStringLiteral("2000")}
            << QStringLiteral("127.0.0.1") << 0 << slackMs << false << 0;
        // A server that refuses is an answer: not found, which is not a timeout.
        QTest::newRow("refusing name server: not found, not timed out")
            << QStringList{QStringLiteral("--silent"), QStringLiteral("0"),
                           QStringLiteral("--dead")}
            << QStringList{name, QStringLiteral("4000"), QStringLiteral("1"),
                           QStringLiteral("2000")}
            << QStringLiteral("-") << 0 << slackMs << false << 0;
        // More lookups at once than glibc has resolver threads (20): the ones still queued
        // at their deadline are cancelled, the running ones are released when the resolver
        // gives up a second later. Either kind freed twice or never shows here (and under
        // the sanitizers).
        QTest::newRow("lookups given up are all released by the resolver")
            << QStringList{QStringLiteral("--silent"), QStringLiteral("1"),
                           QStringLiteral("--options"), QStringLiteral("timeout:1 attempts:1")}
            << QStringList{name, QStringLiteral("400"), QStringLiteral("24"),
                           QStringLiteral("8000")}
            << QStringLiteral("-") << 24 << 400 + slackMs << true << 0;
    }

    void silentNameServers()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: the resolver is replaced in private namespaces");
        QFETCH(QStringList, dns);
        QFETCH(QStringList, lookup);
        QFETCH(QString, addresses);
        QFETCH(int, timedOut);
        QFETCH(int, slowestBelowMs);
        QFETCH(bool, dnsAsked);
        QFETCH(int, unreleased);

        QProcess probe;
        probe.start(QStringLiteral(SILENTDNS_PATH),
                    dns + QStringList{QStringLiteral("--"), QStringLiteral(PROBE_PATH)} + lookup);
        QVERIFY(probe.waitForFinished(30000));
        const QByteArray errors = probe.readAllStandardError();
        QVERIFY2(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0,
                 errors.constData());

        QHash<QByteArray, QByteArray> said;
        for (const QByteArray &line : probe.readAllStandardOutput().split('\n')) {
            const qsizetype blank = line.indexOf(' ');
            if (blank > 0)
                said.insert(line.left(blank), line.mid(blank + 1));
        }
        QCOMPARE(QString::fromLatin1(said.value("addresses")), addresses);
        QCOMPARE(said.value("timedout").toInt(), timedOut);
        const int slowest = said.value("slowest").toInt();
        QVERIFY2(slowest < slowestBelowMs, QByteArray::number(slowest).constData());
        if (unreleased >= 0)
            QCOMPARE(said.value("unreleased").toInt(), unreleased);

        const qsizetype at = errors.lastIndexOf("silentdns: ");
        QVERIFY2(at >= 0, errors.constData());
        const int queries = errors.mid(at + 11).split(' ').value(0).toInt();
        QCOMPARE(queries > 0, dnsAsked);
    }
};

QTEST_GUILESS_MAIN(HostLookupTest)
#include "tst_hostlookup.moc"
