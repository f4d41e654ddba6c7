#include "link/linksettings.h"
#include "shell/configcheck.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// orvanta --check-config: config files against a port that listens and one that does not,
// and the program itself, without a display, through a link as /usr/bin/orvanta is one.
class ConfigCheckTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QTcpServer m_server;
    quint16 m_closedPort = 0;

    QString writeConfig(const QByteArray &contents, const QString &name = "config.ini")
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) < 0)
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // The connections the check made: each accepted, then closed without a byte sent.
    void expectConnectionsClosedUnused(int expected)
    {
        int seen = 0;
        while (m_server.waitForNewConnection(expected > seen ? 2000 : 0)) {
            QTcpSocket *socket = m_server.nextPendingConnection();
            ++seen;
            QVERIFY2(socket->state() == QAbstractSocket::UnconnectedState ||
                         socket->waitForDisconnected(2000),
                     "the check left its connection open");
            QCOMPARE(socket->readAll(), QByteArray());
            delete socket;
        }
        QCOMPARE(seen, expected);
    }

    static QString substituted(QString text, quint16 port)
    {
        return text.replace(QLatin1String("%P"), QString::number(port));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        m_closedPort = closed.serverPort();
    }

    void reportsWhatTheKioskWillDo_data()
    {
        QTest::addColumn<QByteArray>("contents"); // %P: the port that the row talks to
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<QStringList>("says");

        const QStringList fine{QStringLiteral("Problems: none"),
                               QStringLiteral("Result: the server can be reached.")};
        QTest::newRow("dotted address, number, point")
            << QByteArray("127.0.0.1\n%P\n.\n") << true << true
            << (QStringList{"  line 1 (server address): \"127.0.0.1\"",
                            "Server address: 127.0.0.1 (an IPv4 address, no lookup)", "Port: %P",
                            "Decimal separator: \".\"",
                            "Connection: 127.0.0.1 port %P accepted a TCP connection"} +
                fine);
        QTest::newRow("nothing listens") << QByteArray("127.0.0.1\n%P\n.\n") << false << false
                                         << QStringList{"127.0.0.1 port %P refused the connection",
                                                        "Result: the server cannot be reached"};
        QTest::newRow("host name from the hosts file")
            << QByteArray("localhost\n%P\n,\n") << true << true
            << (QStringList{"Server address: \"localhost\" resolves to 127.0.0.1",
                            "Decimal separator: \",\""} +
                fine);
        QTest::newRow("CR LF line ends")
            << QByteArray("127.0.0.1\r\n%P\r\n.\r\n") << true << true << fine;
        QTest::newRow("lone CR line ends, no last line end")
            << QByteArray("127.0.0.1\r%P\r.") << true << true << fine;
        // The short form has no other reading: it is no problem.
        QTest::newRow("short dotted form")
            << QByteArray("127.1\n%P\n.\n") << true << true
            << (QStringList{"Server address: 127.0.0.1 (an IPv4 "
                            "address, no lookup; read from \"127.1\")"} +
                fine);
        // The C library reads a part with a leading zero as octal (0x: hexadecimal) and
        // ignores what follows a blank. The kiosk keeps that reading; the check names it,
        // with the address it gives. Each row once said "Problems: none".
        QTest::newRow("octal-looking part: 127.0.0.010 is 127.0.0.8")
            << QByteArray("127.0.0.010\n%P\n.\n") << true << false
            << QStringList{"Server address: 127.0.0.8 (an IPv4 address, no lookup; read from "
                           "\"127.0.0.010\")",
                           "line 1 (server address) \"127.0.0.010\" has the part \"010\", which "
                           "begins with 0 and is read as octal: the kiosk connects to 127.0.0.8",
                           "127.0.0.8 port %P refused the connection"};
        QTest::newRow("octal-looking part that reads the same: 127.0.0.01")
            << QByteArray("127.0.0.01\n%P\n.\n") << true << true
            << QStringList{"has the part \"01\", which begins with 0 and is read as octal: the "
                           "kiosk connects to 127.0.0.1",
                           "Result: the server can be reached."};
        QTest::newRow("hexadecimal part: 127.0.0.0x1")
            << QByteArray("127.0.0.0x1\n%P\n.\n") << true << true
            << QStringList{"has the part \"0x1\", which begins with 0 and is read as "
                           "hexadecimal: the kiosk connects to 127.0.0.1"};
        QTest::newRow("text after the address: 127.0.0.1 junk")
            << QByteArray("127.0.0.1 junk\n%P\n.\n") << true << true
            << QStringList{"Server address: 127.0.0.1 (an IPv4 address, no lookup; read from "
                           "\"127.0.0.1 junk\")",
                           "line 1 (server address) \"127.0.0.1 junk\" goes on after the "
                           "address: the kiosk ignores \" junk\" and connects to 127.0.0.1"};
        // The resolver of the C library ends a dotted address at a blank, so the kiosk
        // connects all the same; the blanks are still named.
        QTest::newRow("blanks after the address")
            << QByteArray("127.0.0.1  \n%P\n.\n") << true << true
            << QStringList{"  line 1 (server address): \"127.0.0.1  \"",
                           "line 1 (server address) ends in 2 blanks"};
        QTest::newRow("blank after the port")
            << QByteArray("127.0.0.1\n%P \n.\n") << true << false
            << QStringList{"line 2 (server port) \"%P \" is neither a port number nor a service"};
        QTest::newRow("port that is no number")
            << QByteArray("127.0.0.1\n5000l\n.\n") << true << false
            << QStringList{"\"5000l\" is neither a port number nor a service name"};
        QTest::newRow("port out of range") << QByteArray("127.0.0.1\n70000\n.\n") << true << false
                                           << QStringList{"port 70000 is outside 1 to 65535"};
        QTest::newRow("no such dotted address")
            << QByteArray("10.0.0.300\n%P\n.\n") << true << false
            << QStringList{"reads it as an IPv4 address, and \"10.0.0.300\" is not one"};
        QTest::newRow("0.0.0.0") << QByteArray("0.0.0.0\n%P\n.\n") << true << false
                                 << QStringList{"\"0.0.0.0\" is not one a server can have"};
        QTest::newRow("non-breaking space after the address")
            << QByteArray("127.0.0.1\xA0\n%P\n.\n") << true << false
            << QStringList{
                   "  line 1 (server address): \"127.0.0.1\\xA0\"",
                   "line 1 (server address) holds \"\\xA0\", a byte that is not plain text"};
        QTest::newRow("tab before the port")
            << QByteArray("127.0.0.1\n\t%P\n.\n") << true << false
            << QStringList{"  line 2 (server port): \"\\t%P\"",
                           "line 2 (server port) begins with 1 blank"};
        QTest::newRow("empty address") << QByteArray("\n%P\n.\n") << true << false
                                       << QStringList{"line 1 (server address) is empty"};
        QTest::newRow("one line only")
            << QByteArray("127.0.0.1\n") << true << false
            << QStringList{"  line 2 (server port): missing", "line 2 (server port) is missing",
                           "line 3 (decimal separator) is missing"};
        QTest::newRow("no separator line") << QByteArray("127.0.0.1\n%P\n") << true << true
                                           << QStringList{"line 3 (decimal separator) is missing: "
                                                          "the kiosk keeps the locale's"};
        QTest::newRow("separator line with more")
            << QByteArray("127.0.0.1\n%P\n.00\n") << true << true
            << QStringList{"(the first character of line 3; the rest does not count)"};
        QTest::newRow("UTF-16") << QByteArray("\xFF\xFE"
                                              "1\0"
                                              "2\0",
                                              6)
                                << true << false << QStringList{"the file is saved as UTF-16"};
    }

    void reportsWhatTheKioskWillDo()
    {
        QFETCH(QByteArray, contents);
        QFETCH(bool, listening);
        QFETCH(bool, reachable);
        QFETCH(QStringList, says);
        const quint16 port = listening ? m_server.serverPort() : m_closedPort;
        contents.replace("%P", QByteArray::number(port));

        ConfigCheck check(writeConfig(contents));
        QCOMPARE(check.run(), reachable);
        const QString report = check.report();
        for (const QString &line : std::as_const(says))
            QVERIFY2(report.contains(substituted(line, port)), qPrintable(report));
        QVERIFY(report.endsWith(QLatin1Char('\n')));
        expectConnectionsClosedUnused(reachable ? 1 : 0);
    }

    // A decimal separator that cannot separate decimals makes the kiosk refuse every
    // exchange: the check names it and fails, although the server can be reached. Each
    // bad row once passed (the control characters and the syntax characters with
    // "Problems: none").
    void separators_data()
    {
        QTest::addColumn<QByteArray>("separator");
        QTest::addColumn<QString>("says"); // empty: the separator works

        QTest::newRow("blank") << QByteArray(" ") << QStringLiteral("\" \" is a blank");
        QTest::newRow("tab") << QByteArray("\t") << QStringLiteral("\"\\t\" is a blank");
        QTest::newRow("control character")
            << QByteArray("\x01") << QStringLiteral("\"\\x01\" is a control character");
        QTest::newRow("DEL") << QByteArray("\x7f")
                             << QStringLiteral("\"\\x7F\" is a control character");
        QTest::newRow("digit") << QByteArray("0") << QStringLiteral("\"0\" is a digit");
        QTest::newRow("&") << QByteArray("&")
                           << QStringLiteral("\"&\" is the reply's item separator");
        QTest::newRow("=") << QByteArray("=") << QStringLiteral("\"=\" is the reply's separator");
        QTest::newRow("%") << QByteArray("%")
                           << QStringLiteral("\"%\" is the reply's escape character");
        QTest::newRow("+") << QByteArray("+") << QStringLiteral("\"+\" is the plus sign");
        QTest::newRow("-") << QByteArray("-") << QStringLiteral("\"-\" is the minus sign");
        QTest::newRow("double quote")
            << QByteArray("\"") << QStringLiteral("\"\\\"\" is the reply's quote character");
        QTest::newRow("point") << QByteArray(".") << QString();
        QTest::newRow("comma") << QByteArray(",") << QString();
        QTest::newRow("slash") << QByteArray("/") << QString();
        QTest::newRow("apostrophe") << QByteArray("'") << QString();
    }
    void separators()
    {
        QFETCH(QByteArray, separator);
        QFETCH(QString, says);
        ConfigCheck check(writeConfig("127.0.0.1\n" + QByteArray::number(m_server.serverPort()) +
                                      "\n" + separator + "\n"));
        const bool works = check.run();
        const QString report = check.report();
        expectConnectionsClosedUnused(1);
        if (says.isEmpty()) {
            QVERIFY2(works, qPrintable(report));
            QVERIFY2(report.contains(QStringLiteral("Problems: none")), qPrintable(report));
            return;
        }
        QVERIFY2(!works, qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("  - line 3 (decimal separator): ") + says),
                 qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("which cannot separate the decimals of an "
                                                "amount")),
                 qPrintable(report));
        QVERIFY2(report.contains(QStringLiteral("Result: the kiosk cannot work with this file; "
                                                "every exchange will end in \"Bad Link To "
                                                "Server - Call for Support\"")),
                 qPrintable(report));
    }

    void namesAMissingFile()
    {
        ConfigCheck check(m_dir.filePath(QStringLiteral("nowhere.ini")));
        QVERIFY(!check.run());
        QVERIFY2(check.report().contains(QStringLiteral(
                     "the file is missing or cannot be read: the kiosk shows \"The specified "
                     "file was not found\"")),
                 qPrintable(check.report()));
    }

    // Some editors put a byte-order mark in front. The check names it, and otherwise goes
    // by the kiosk's own reading of line 1.
    void namesAByteOrderMarkAndReadsLineOneAsTheKioskDoes()
    {
        QByteArray contents = "\xEF\xBB\xBF"
                              "127.0.0.1\n%P\n.\n";
        contents.replace("%P", QByteArray::number(m_server.serverPort()));
        const bool kioskReadsAnAddress =
            LinkSettings::parse(contents).server == QLatin1String("127.0.0.1");

        ConfigCheck check(writeConfig(contents));
        QCOMPARE(check.run(), kioskReadsAnAddress);
        const QString report = check.report();
        QVERIFY2(report.contains(QStringLiteral("the file begins with a UTF-8 byte-order mark")),
                 qPrintable(report));
        // Named as what it is, not once more as a stray byte of line 1.
        QVERIFY2(!report.contains(QStringLiteral("line 1 (server address) holds")),
                 qPrintable(report));
        expectConnectionsClosedUnused(kioskReadsAnAddress ? 1 : 0);
    }

    void readsAServiceName()
    {
        ConfigCheck check(writeConfig("127.0.0.1\nhttp\n.\n"));
        check.run();
        QVERIFY2(check.report().contains(QStringLiteral("Port: 80 (the service \"http\")")),
                 qPrintable(check.report()));
        expectConnectionsClosedUnused(0);
    }

    // The program itself, as a technician runs it: no display, config.ini beside the real
    // executable although it was started through a link in another folder.
    void programNeedsNoDisplayAndFollowsItsLink_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QByteArray>("separator");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("server listens") << true << QByteArray(".") << 0;
        QTest::newRow("nothing listens") << false << QByteArray(".") << 1;
        QTest::newRow("server listens, separator &") << true << QByteArray("&") << 1;
    }

    void programNeedsNoDisplayAndFollowsItsLink()
    {
        QFETCH(bool, listening);
        QFETCH(QByteArray, separator);
        QFETCH(int, exitCode);
        const QString real = m_dir.filePath(QStringLiteral("lib"));
        const QString bin = m_dir.filePath(QStringLiteral("bin"));
        if (!QFile::exists(real + "/orvanta")) {
            QVERIFY(QDir().mkpath(real) && QDir().mkpath(bin));
            QVERIFY(QFile::copy(QStringLiteral(ORVANTA_EXE), real + "/orvanta"));
            QVERIFY(QFile::link(QStringLiteral("../lib/orvanta"), bin + "/orvanta"));
        }
        const quint16 port = listening ? m_server.serverPort() : m_closedPort;
        writeConfig("127.0.0.1\n" + QByteArray::number(port) + "\n" + separator + "\n",
                    QStringLiteral("lib/config.ini"));

        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        program.setProcessEnvironment(environment);
        program.start(bin + "/orvanta", {QStringLiteral("--check-config")});
        QVERIFY(program.waitForFinished(15000));
        const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QVERIFY2(program.exitCode() == exitCode, qPrintable(out + program.readAllStandardError()));
        QVERIFY2(out.startsWith(QStringLiteral("Settings file: ") +
                                QDir(real).filePath(QStringLiteral("config.ini"))),
                 qPrintable(out));
        expectConnectionsClosedUnused(listening ? 1 : 0);
    }

    // A name server that never answers: the lookup and the connect share the link's 5 s,
    // so the check ends on time and says why. A name server that is not there fails at once.
    void nameServerTroubleWithinTheBound_data()
    {
        QTest::addColumn<QStringList>("dns");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("atLeastMs");
        QTest::addColumn<int>("atMostMs");
        QTest::newRow("never answers")
            << QStringList{"--silent", "1"}
            << QStringLiteral("the name server gave no answer for \"quillmark.range\" within 5 s")
            << 4500 << 8000;
        QTest::newRow("not there")
            << QStringList{"--silent", "0", "--dead"}
            << QStringLiteral("the name \"quillmark.range\" does not resolve") << 0 << 3000;
    }

    void nameServerTroubleWithinTheBound()
    {
        QFETCH(QStringList, dns);
        QFETCH(QString, says);
        QFETCH(int, atLeastMs);
        QFETCH(int, atMostMs);
        const QString real = m_dir.filePath(QStringLiteral("lib"));
        if (!QFile::exists(real + "/orvanta")) {
            QVERIFY(QDir().mkpath(real));
            QVERIFY(QFile::copy(QStringLiteral(ORVANTA_EXE), real + "/orvanta"));
        }
        writeConfig("quillmark.range\n50001\n.\n", QStringLiteral("lib/config.ini"));

        QProcess program;
        QElapsedTimer timer;
        timer.start();
        program.start(QStringLiteral(SILENTDNS_PATH),
                      dns + QStringList{"--", real + "/orvanta", "--check-config"});
        QVERIFY(program.waitForFinished(30000));
        const qint64 took = timer.elapsed();
        if (program.exitCode() == 77)
            QSKIP("orvanta_silentdns needs root and namespaces");
        const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
        QCOMPARE(program.exitCode(), 1);
        QVERIFY2(out.contains(says), qPrintable(out));
        QVERIFY2(took >= atLeastMs && took <= atMostMs, qPrintable(QString::number(took)));
    }
};

QTEST_GUILESS_MAIN(ConfigCheckTest)
#include "configcheck_test.moc"
