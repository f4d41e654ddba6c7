#include "components/networkroutines.h"

#include "components/routinetypes.h"

#include "childrun.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <arpa/inet.h>
#include <atomic>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A server on loopback in its own thread that hands each connection to `serve` once the
// request has been read, then closes it.
class LoopbackServer
{
public:
    using Serve = std::function<void(int client, const QByteArray &request)>;
    explicit LoopbackServer(Serve serve) : m_serve(std::move(serve))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            ::listen(m_listener, 8) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            qFatal("cannot listen on loopback");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~LoopbackServer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }
    QString url(const char *path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(QLatin1String(path));
    }

    static void sendAll(int client, const QByteArray &data)
    {
        for (qsizetype sent = 0; sent < data.size();) {
            const ssize_t n =
                ::send(client, data.constData() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += n;
        }
    }

private:
    void run()
    {
        for (;;) {
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0)
                return;
            QByteArray request;
            char buffer[1024];
            while (!request.contains("\r\n\r\n")) {
                const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                request.append(buffer, got);
            }
            m_serve(client, request);
            ::close(client);
        }
    }

    Serve m_serve;
    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
};

// HTTP/1.0 on loopback: /file.bin answers with a body, /moved redirects there, /elsewhere
// redirects to `elsewhere` (any URL), anything else is 404.
class LoopbackHttpServer : public LoopbackServer
{
public:
    explicit LoopbackHttpServer(QByteArray body, QByteArray elsewhere = {})
        : LoopbackServer([body, elsewhere](int client, const QByteArray &request) {
              const QByteArray path = request.split(' ').value(1);
              if (path == "/file.bin")
                  sendAll(client, "HTTP/1.0 200 OK\r\nContent-Length: " +
                                      QByteArray::number(body.size()) + "\r\n\r\n" + body);
              else if (path == "/moved")
                  sendAll(client, "HTTP/1.0 302 Found\r\nLocation: /file.bin\r\n"
                                  "Content-Length: 0\r\n\r\n");
              else if (path == "/elsewhere")
                  sendAll(client, "HTTP/1.0 302 Found\r\nLocation: " + elsewhere +
                                      "\r\nContent-Length: 0\r\n\r\n");
              else
                  sendAll(client, "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
          })
    {
    }
};

// A listener whose queue is full and that never accepts: the kernel drops further
// connection requests, so a connect to it neither succeeds nor fails until it gives up.
class FullListener
{
public:
    FullListener()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(m_listener, 0);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), length);
            m_fillers.push_back(fd);
        }
        QThread::msleep(100);
    }
    ~FullListener()
    {
        for (const int fd : m_fillers)
            ::close(fd);
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    quint16 m_port = 0;
    std::vector<int> m_fillers;
};

// A loopback port that nothing listens on (bound once, then released).
quint16 closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// While it lives, a writer comes to a named pipe after `delayMs`, so that a read that
// waits for one ends (at the end of the pipe's empty content) instead of hanging the suite.
class LateWriter
{
public:
    LateWriter(const QString &fifo, int delayMs)
        : m_thread([this, path = QFile::encodeName(fifo), delayMs] {
              for (int waited = 0; !m_stop; waited += 50) {
                  if (waited >= delayMs) {
                      // Succeeds only while a reader waits in its open.
                      const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                      if (fd >= 0) {
                          ::close(fd);
                          return;
                      }
                  }
                  QThread::msleep(50);
              }
          })
    {
    }
    ~LateWriter()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// While it lives, no file of this process may grow beyond `bytes`: a write past it raises
// SIGXFSZ, which ends the test run there rather than filling the disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = std::min(bytes, m_old.rlim_max);
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_old); }

private:
    rlimit m_old{};
};

QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 31 + (i >> 9));
    return data;
}

} // namespace

class NetworkRoutinesTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;
    NetworkRoutines routines;

private slots:
    void init() { routines = NetworkRoutines(); }
    void downloadFromLoopbackServer();
    void downloadFailures();
    void downloadFileUrl();
    void downloadRefusesWhatIsNoRegularFile_data();
    void downloadRefusesWhatIsNoRegularFile();
    void downloadBoundCoversTheLookup();
    void downloadGivesUpOnASilentServer();
    void downloadGivesUpOnAConnectionThatNeverStands();
    void downloadKeepsGoingWhileDataComes();
    void connectionProbe();
    void connectionProbeBoundCoversTheLookup();
    void myAddresses();
    void myAddressesAreTheInterfaces();
};

void NetworkRoutinesTest::downloadFromLoopbackServer()
{
    const QByteArray body = pattern(300000);
    LoopbackHttpServer server(body);
    const QString dest = tmp.filePath("download.bin");
    QVERIFY(routines.DownloadFile(server.url("/file.bin"), dest));
    QCOMPARE(readAll(dest), body);
    QFile::remove(dest);
    QVERIFY(routines.DownloadFile(server.url("/moved"), dest));
    QCOMPARE(readAll(dest), body);
}

// A failed download leaves an existing target as it was and creates none.
void NetworkRoutinesTest::downloadFailures()
{
    LoopbackHttpServer server("body");
    const QString existing = tmp.filePath("kept.txt");
    {
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("previous");
    }
    QVERIFY(!routines.DownloadFile(server.url("/missing.bin"), existing));
    QCOMPARE(readAll(existing), QByteArray("previous"));
    const QString fresh = tmp.filePath("fresh.bin");
    QVERIFY(!routines.DownloadFile(server.url("/missing.bin"), fresh));
    QVERIFY(!QFile::exists(fresh));
    QVERIFY(!routines.DownloadFile(QStringLiteral("http://127.0.0.1:%1/file.bin").arg(closedPort()),
                                   fresh));
    QVERIFY(!routines.DownloadFile(server.url("/file.bin"), tmp.filePath("no/folder/x.bin")));
    QVERIFY(!routines.DownloadFile(QStringLiteral("not a url"), fresh));
    QVERIFY(!routines.DownloadFile(QStringLiteral("gopher://127.0.0.1/x"), fresh));
    QVERIFY(!QFile::exists(fresh));
}

void NetworkRoutinesTest::downloadFileUrl()
{
    const QString source = tmp.filePath("source file.bin");
    const QByteArray body = pattern(70000);
    {
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(body);
    }
    const QString dest = tmp.filePath("copy.bin");
    QVERIFY(routines.DownloadFile(QUrl::fromLocalFile(source).toString(QUrl::FullyEncoded), dest));
    QCOMPARE(readAll(dest), body);
    QVERIFY(!routines.DownloadFile(QUrl::fromLocalFile(tmp.filePath("none")).toString(), dest));
    QFile::remove(dest);
    QVERIFY(routines.DownloadFile(
        "FILE://localhost" + QUrl::fromLocalFile(source).path(QUrl::FullyEncoded), dest));
    QCOMPARE(readAll(dest), body);
    QVERIFY(!routines.DownloadFile("file://192.0.2.1" + QUrl::fromLocalFile(source).path(), dest));
}

// Sources that are no regular file are refused before a byte is read; each row names the
// fault it catches. An existing target stays as it was.
void NetworkRoutinesTest::downloadRefusesWhatIsNoRegularFile_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("a named pipe without a writer: blocked for ever") << "fifo";
    QTest::newRow("a link to that pipe: checked where it leads") << "fifo-link";
    QTest::newRow("/dev/null, a device: read as an empty file") << "/dev/null";
    QTest::newRow("/dev/zero, a device without end: filled the disk") << "/dev/zero";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("an http redirect to file://: read a local file") << "redirect";
}

void NetworkRoutinesTest::downloadRefusesWhatIsNoRegularFile()
{
    QFETCH(QString, source);
    QTemporaryDir dir;
    const QString fifo = dir.filePath("pipe");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(QFile::link(fifo, dir.filePath("pipe-link")));
    const QString secret = dir.filePath("secret.txt");
    {
        QFile file(secret);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("local secret");
    }
    LoopbackHttpServer server("body", QUrl::fromLocalFile(secret).toEncoded());
    const QString url = source == "fifo" ? QUrl::fromLocalFile(fifo).toString()
                        : source == "fifo-link"
                            ? QUrl::fromLocalFile(dir.filePath("pipe-link")).toString()
                        : source == "folder"   ? QUrl::fromLocalFile(dir.path()).toString()
                        : source == "redirect" ? server.url("/elsewhere")
                                               : QUrl::fromLocalFile(source).toString();
    const QString existing = dir.filePath("kept.bin");
    {
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("previous");
    }
    const LateWriter writer(fifo, 3000);
    const FileSizeLimit limit(16 << 20);
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!routines.DownloadFile(url, existing));
    QVERIFY2(elapsed.elapsed() < 2000, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(readAll(existing), QByteArray("previous"));
    QVERIFY(!routines.DownloadFile(url, dir.filePath("fresh.bin")));
    QVERIFY(!QFile::exists(dir.filePath("fresh.bin")));
}

void NetworkRoutinesTest::connectionProbe()
{
    LoopbackHttpServer server("");
    routines.InternetProbePort = server.port();
    routines.InternetProbeHost = QStringLiteral("127.0.0.1");
    QVERIFY(routines.IsConnectedToInternet());
    routines.InternetProbeHost = QStringLiteral("localhost");
    QVERIFY(routines.IsConnectedToInternet());
    routines.InternetProbeHost = QStringLiteral("127.0.0.1");
    routines.InternetProbePort = closedPort();
    QVERIFY(!routines.IsConnectedToInternet());
}

// Nothing but the stall limit ends this download: the server accepts and says nothing.
void NetworkRoutinesTest::downloadGivesUpOnASilentServer()
{
    LoopbackServer server([](int client, const QByteArray &) {
        char buffer[256];
        while (::recv(client, buffer, sizeof buffer, 0) > 0) {
        }
    });
    routines.DownloadStallTimeoutMs = 500;
    const QString existing = tmp.filePath("kept.bin");
    {
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("previous");
    }
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!routines.DownloadFile(server.url("/file.bin"), existing));
    QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(readAll(existing), QByteArray("previous"));
}

void NetworkRoutinesTest::downloadGivesUpOnAConnectionThatNeverStands()
{
    const FullListener listener;
    routines.DownloadConnectTimeoutMs = 500;
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(
        !routines.DownloadFile(QStringLiteral("http://127.0.0.1:%1/file.bin").arg(listener.port()),
                               tmp.filePath("never.bin")));
    QVERIFY2(elapsed.elapsed() < 4000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY(!QFile::exists(tmp.filePath("never.bin")));
}

// Slow but steady: a pause shorter than the stall limit between pieces, and the whole
// transfer several times longer than that limit.
void NetworkRoutinesTest::downloadKeepsGoingWhileDataComes()
{
    const QByteArray body = pattern(12 * 100);
    LoopbackServer server([body](int client, const QByteArray &) {
        LoopbackServer::sendAll(client, "HTTP/1.0 200 OK\r\nContent-Length: " +
                                            QByteArray::number(body.size()) + "\r\n\r\n");
        for (qsizetype at = 0; at < body.size(); at += 100) {
            QThread::msleep(250);
            LoopbackServer::sendAll(client, body.mid(at, 100));
        }
    });
    routines.DownloadStallTimeoutMs = 1000;
    routines.DownloadConnectTimeoutMs = 1000;
    QElapsedTimer elapsed;
    elapsed.start();
    const QString dest = tmp.filePath("slow.bin");
    QVERIFY(routines.DownloadFile(server.url("/file.bin"), dest));
    QVERIFY(elapsed.elapsed() >= 2500);
    QCOMPARE(readAll(dest), body);
}

// The name servers read every query and never answer; the resolver would wait 10 s
// (timeout 5 s, two attempts) and the bound of 5 s covers the lookup.
void NetworkRoutinesTest::connectionProbeBoundCoversTheLookup()
{
    if (childrun::isChild()) {
        NetworkRoutines probe;
        QCOMPARE(probe.InternetProbeHost, QStringLiteral("network-test.debian.org"));
        QCOMPARE(probe.InternetProbeTimeoutMs, 5000);
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!probe.IsConnectedToInternet());
        QVERIFY2(elapsed.elapsed() < 6500, qPrintable(QString::number(elapsed.elapsed())));
        return;
    }
    if (!childrun::isRoot())
        QSKIP("the silent name server runs in namespaces of its own, which needs root");
    const childrun::Outcome child =
        childrun::rerun(QStringLiteral("connectionProbeBoundCoversTheLookup"),
                        {QStringLiteral(SILENTDNS_PATH), QStringLiteral("--options"),
                         QStringLiteral("timeout:5 attempts:2"), QStringLiteral("--")});
    QVERIFY2(child.passed(), qPrintable(child.output));
}

// The name servers read every query and never answer, and the resolver's options are
// those that held a download for 150 s (30 s, five attempts): the connect limit, here 2 s,
// covers the lookup and the download gives up at it.
void NetworkRoutinesTest::downloadBoundCoversTheLookup()
{
    if (childrun::isChild()) {
        QCOMPARE(NetworkRoutines().DownloadConnectTimeoutMs, 30000);
        NetworkRoutines download;
        download.DownloadConnectTimeoutMs = 2000;
        QTemporaryDir dir;
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!download.DownloadFile(QStringLiteral("http://updates.range.example/file.bin"),
                                       dir.filePath("never.bin")));
        QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY(!QFile::exists(dir.filePath("never.bin")));
        return;
    }
    if (!childrun::isRoot())
        QSKIP("the silent name server runs in namespaces of its own, which needs root");
    // A child that has not ended after 20 s has shown the fault: no need to wait 150 s.
    const childrun::Outcome child =
        childrun::rerun(QStringLiteral("downloadBoundCoversTheLookup"),
                        {QStringLiteral(SILENTDNS_PATH), QStringLiteral("--options"),
                         QStringLiteral("timeout:30 attempts:5"), QStringLiteral("--")},
                        {}, 20000);
    QVERIFY2(child.passed(), qPrintable(child.output));
}

void NetworkRoutinesTest::myAddresses()
{
    const QStringList addresses = NetworkRoutines::GetMyIPs();
    QVERIFY(!addresses.isEmpty());
    for (const QString &address : addresses)
        QVERIFY2(!QHostAddress(address).isNull(), qPrintable(address));
}

// In a network namespace of its own the machine has the loopback and one end of a veth
// pair with two known addresses, its other end down, which does not count.
void NetworkRoutinesTest::myAddressesAreTheInterfaces()
{
    if (childrun::isChild()) {
        const QStringList addresses = NetworkRoutines::GetMyIPs();
        for (const char *expected : {"127.0.0.1", "::1", "192.0.2.7", "2001:db8::7"})
            QVERIFY2(addresses.contains(QLatin1String(expected)),
                     qPrintable(expected + (" not in " + addresses.join(u' '))));
        QVERIFY(addresses.indexOf("127.0.0.1") < addresses.indexOf("192.0.2.7"));
        QVERIFY(!addresses.contains(QStringLiteral("198.51.100.9")));
        return;
    }
    if (!childrun::isRoot())
        QSKIP("the interfaces are made in a network namespace of its own, which needs root");
    const QString setup =
        QStringLiteral("ip link set lo up && ip link add orv0 type veth peer name orv1 && "
                       "ip address add 192.0.2.7/24 dev orv0 && "
                       "ip address add 2001:db8::7/64 dev orv0 nodad && ip link set orv0 up && "
                       "ip address add 198.51.100.9/24 dev orv1 "
                       "&& exec \"$0\" \"$@\"");
    const childrun::Outcome child =
        childrun::rerun(QStringLiteral("myAddressesAreTheInterfaces"),
                        {QStringLiteral("unshare"), QStringLiteral("-n"), QStringLiteral("sh"),
                         QStringLiteral("-c"), setup});
    QVERIFY2(child.passed(), qPrintable(child.output));
}

QTEST_GUILESS_MAIN(NetworkRoutinesTest)
#include "tst_networkroutines.moc"
