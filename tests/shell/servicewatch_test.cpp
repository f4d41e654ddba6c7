#include "shelltesting.h"

#include "platform/servicenotify.h"
#include "shell/kioskstart.h"
#include "shell/mainscreen.h"
#include "shell/windowset.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <optional>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// What systemd does with the kiosk's unit, reduced to the notification socket: a datagram
// socket bound at a path or an abstract name, whose datagrams the test reads.
class NotifyListener
{
public:
    explicit NotifyListener(const QByteArray &name) : m_name(name)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
        socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + std::size_t(name.size()));
        if (name.startsWith('@')) {
            address.sun_path[0] = '\0';
        } else {
            length += 1;
            ::unlink(name.constData()); // left by an earlier row
        }
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), length) != 0)
            qFatal("cannot bind the notification socket %s: %s", name.constData(),
                   std::strerror(errno));
    }
    ~NotifyListener() { ::close(m_fd); }

    // The next datagram within timeoutMs, or an empty one.
    QByteArray next(int timeoutMs)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return {};
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        return n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
    }

    // Every datagram that arrives within ms.
    QList<QByteArray> during(int ms)
    {
        QList<QByteArray> all;
        QElapsedTimer clock;
        clock.start();
        for (qint64 left = ms; left > 0; left = ms - clock.elapsed()) {
            const QByteArray datagram = next(int(left));
            if (!datagram.isEmpty())
                all << datagram;
        }
        return all;
    }

    const QByteArray &name() const { return m_name; }

private:
    QByteArray m_name;
    int m_fd = -1;
};

// Sets the variables systemd gives a Type=notify unit, and takes them away again.
class NotifyEnvironment
{
public:
    NotifyEnvironment(const QByteArray &socket, const QByteArray &usec, const QByteArray &pid = {})
    {
        set("NOTIFY_SOCKET", socket);
        set("WATCHDOG_USEC", usec);
        set("WATCHDOG_PID", pid);
    }
    ~NotifyEnvironment()
    {
        for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            qunsetenv(name);
    }

private:
    static void set(const char *name, const QByteArray &value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
};

} // namespace

// The kiosk under a Type=notify unit with a watchdog: READY=1 once the main screen is up,
// WATCHDOG=1 from the GUI thread's event loop for as long as that loop runs, nothing when no
// service manager listens.
class ServiceWatchTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_settings;

    static QString guardName()
    {
        return QStringLiteral("Orvanta_IsRunning_watch_test_%1")
            .arg(QCoreApplication::applicationPid());
    }
    QByteArray socketPath(const char *name) const
    {
        return QFile::encodeName(m_dir.filePath(QString::fromLatin1(name)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_settings = writeSettings(m_dir);
    }

    void notifierReadsTheEnvironment_data()
    {
        QTest::addColumn<QByteArray>("socket");
        QTest::addColumn<QByteArray>("usec");
        QTest::addColumn<QByteArray>("pid");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<qint64>("watchdogUs");
        const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
        QTest::newRow("no socket")
            << QByteArray() << QByteArray("30000000") << QByteArray() << false << qint64(0);
        QTest::newRow("relative path")
            << QByteArray("notify") << QByteArray("30000000") << QByteArray() << false << qint64(0);
        QTest::newRow("path, watchdog") << QByteArray("path") << QByteArray("30000000")
                                        << QByteArray() << true << qint64(30000000);
        QTest::newRow("abstract, watchdog for this pid")
            << QByteArray("abstract") << QByteArray("60000000") << self << true << qint64(60000000);
        // systemd names the unit's main process; the kiosk is not it unless told.
        QTest::newRow("watchdog of another pid")
            << QByteArray("path") << QByteArray("30000000") << QByteArray("1") << true << qint64(0);
        QTest::newRow("no watchdog")
            << QByteArray("path") << QByteArray() << QByteArray() << true << qint64(0);
        QTest::newRow("watchdog not a number")
            << QByteArray("path") << QByteArray("30s") << QByteArray() << true << qint64(0);
        QTest::newRow("watchdog zero")
            << QByteArray("path") << QByteArray("0") << QByteArray() << true << qint64(0);
        QTest::newRow("watchdog overflows")
            << QByteArray("path") << QByteArray("99999999999999999999999") << QByteArray() << true
            << qint64(0);
    }

    void notifierReadsTheEnvironment()
    {
        QFETCH(QByteArray, socket);
        QFETCH(QByteArray, usec);
        QFETCH(QByteArray, pid);
        QFETCH(bool, enabled);
        QFETCH(qint64, watchdogUs);
        std::optional<NotifyListener> listener;
        if (socket == "path")
            socket = socketPath("notifier");
        else if (socket == "abstract")
            socket =
                "@orvanta-watch-test-" + QByteArray::number(QCoreApplication::applicationPid());
        if (socket.startsWith('/') || socket.startsWith('@'))
            listener.emplace(socket);

        const NotifyEnvironment environment(socket, usec, pid);
        const platform::ServiceNotifier notifier;
        QCOMPARE(notifier.enabled(), enabled);
        QCOMPARE(qint64(notifier.watchdogTimeout().count()), watchdogUs);
        // Nothing started later by the kiosk may speak for it.
        QVERIFY(!qEnvironmentVariableIsSet("NOTIFY_SOCKET"));
        QVERIFY(!qEnvironmentVariableIsSet("WATCHDOG_USEC"));
        QVERIFY(!qEnvironmentVariableIsSet("WATCHDOG_PID"));
        QCOMPARE(notifier.send("READY=1"), enabled);
        if (listener)
            QCOMPARE(listener->next(1000), enabled ? QByteArray("READY=1") : QByteArray());
    }

    // Nobody listens at the socket: the kiosk starts and ends as ever.
    void kioskWithoutListenerRunsAsEver()
    {
        const NotifyEnvironment environment(socketPath("nobody-listens"), "2000000");
        KioskOptions options;
        options.quitWhenShown = true;
        QObject context;
        QTimer::singleShot(20000, &context, [] { QCoreApplication::exit(42); });
        QCOMPARE(runKiosk(options, guardName(), m_settings), 0);
    }

    // READY=1 comes once the main screen is on the screen, never before; WATCHDOG=1 follows
    // at half the timeout while the loop runs; STOPPING=1 is the last word.
    void readyOnceMainScreenIsShownThenWatchdog()
    {
        NotifyListener listener(socketPath("kiosk-in-process"));
        const NotifyEnvironment environment(listener.name(), "400000");
        QList<QByteArray> seen;
        bool shownAtReady = false;
        int pingsAfterReady = 0;
        QObject context;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, &context, [&] {
            for (QByteArray datagram = listener.next(0); !datagram.isEmpty();
                 datagram = listener.next(0)) {
                seen << datagram;
                if (datagram == "READY=1")
                    shownAtReady = mainscreen && mainscreen->isVisible();
                else if (datagram == "WATCHDOG=1" && seen.contains("READY=1") &&
                         ++pingsAfterReady == 4)
                    mainscreen->close();
            }
        });
        poll.start();
        QTimer::singleShot(20000, &context, [] { QCoreApplication::exit(42); });

        QCOMPARE(runKiosk(KioskOptions{}, guardName(), m_settings), 0);
        seen << listener.during(300);
        QCOMPARE(seen.count("READY=1"), 1);
        QVERIFY(shownAtReady);
        QVERIFY2(pingsAfterReady >= 4, seen.join(' ').constData());
        QCOMPARE(seen.last(), QByteArray("STOPPING=1"));
    }

    // The real program, as its unit runs it, in a network namespace of its own (root) so
    // that its single-instance guard is this test's: a stopped kiosk falls silent, which is
    // what systemd's watchdog acts on.
    void stoppedKioskFallsSilent()
    {
        const QString folder = m_dir.filePath(QStringLiteral("kiosk"));
        QVERIFY(QDir().mkpath(folder));
        QFile::remove(folder + "/orvanta");
        QVERIFY(QFile::copy(QStringLiteral(ORVANTA_EXE), folder + "/orvanta"));
        QFile::remove(folder + "/config.ini");
        QVERIFY(QFile::copy(m_settings, folder + "/config.ini"));

        NotifyListener listener(socketPath("kiosk-process"));
        QProcess kiosk;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), QFile::decodeName(listener.name()));
        environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
        kiosk.setProcessEnvironment(environment);
        kiosk.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // unshare -n without --fork executes the kiosk itself: the pid is the kiosk's.
        if (::geteuid() == 0 &&
            !QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
            kiosk.start(QStringLiteral("unshare"), {QStringLiteral("-n"), folder + "/orvanta"});
        else
            kiosk.start(folder + "/orvanta", QStringList());
        QVERIFY(kiosk.waitForStarted(5000));
        const auto end = qScopeGuard([&] {
            ::kill(pid_t(kiosk.processId()), SIGCONT);
            kiosk.kill();
            kiosk.waitForFinished(5000);
        });
        const pid_t pid = pid_t(kiosk.processId());

        QByteArray first;
        for (QElapsedTimer clock; first != "READY=1";) {
            if (!clock.isValid())
                clock.start();
            QVERIFY2(clock.elapsed() < 30000, "no READY=1 within 30 s");
            first = listener.next(1000);
            QVERIFY2(first.isEmpty() || first == "READY=1" || first == "WATCHDOG=1",
                     first.constData());
        }
        const QList<QByteArray> running = listener.during(1500);
        QVERIFY2(running.count("WATCHDOG=1") >= 3, running.join(' ').constData());

        QCOMPARE(::kill(pid, SIGSTOP), 0);
        listener.during(100); // a datagram on its way as the signal came
        const QList<QByteArray> stopped = listener.during(1500);
        QVERIFY2(stopped.isEmpty(), stopped.join(' ').constData());

        QCOMPARE(::kill(pid, SIGCONT), 0);
        QCOMPARE(listener.next(3000), QByteArray("WATCHDOG=1"));
    }
};

ORVANTA_SHELL_TEST_MAIN(ServiceWatchTest)
#include "servicewatch_test.moc"
