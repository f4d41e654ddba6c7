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
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
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

// HTTP/1.0 on loopback: /file.bin answers with a body, /moved redirects there, anything
// else is 404.
class LoopbackHttpServer : public LoopbackServer
{
public:
    explicit LoopbackHttpServer(QByteArray body)
        : LoopbackServer([body](int client, const QByteArray &request) {
              const QByteArray path = request.split(' ').value(1);
              if (path == "/file.bin")
                  sendAll(client, "HTTP/1.0 200 OK\r\nContent-Length: " +
                                      QByteArray::number(body.size()) + "\r\n\r\n" + body);
              else if (path == "/moved")
                  sendAll(client, "HTTP/1.0 302 Found\r\nLocation: /file.bin\r\n"
                                  "Content-Length: 0\r\n\r\n");
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
