#include "components/networkroutines.h"

#include "components/routinetypes.h"

#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A small HTTP/1.0 server on loopback in its own thread: /file.bin answers with a body,
// /moved redirects there, anything else is 404. It serves one request per connection.
class LoopbackHttpServer
{
public:
    explicit LoopbackHttpServer(QByteArray body) : m_body(std::move(body))
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
        m_thread = std::thread([this] { serve(); });
    }
    ~LoopbackHttpServer()
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

private:
    void serve()
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
            const QByteArray path = request.split(' ').value(1);
            QByteArray reply;
            if (path == "/file.bin")
                reply = "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(m_body.size()) +
                        "\r\n\r\n" + m_body;
            else if (path == "/moved")
                reply = "HTTP/1.0 302 Found\r\nLocation: /file.bin\r\nContent-Length: 0\r\n\r\n";
            else
                reply = "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
            for (qsizetype sent = 0; sent < reply.size();) {
                const ssize_t n =
                    ::send(client, reply.constData() + sent, reply.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += n;
            }
            ::close(client);
        }
    }

    QByteArray m_body;
    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
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
    void downloadFromLoopbackServer();
    void downloadFailures();
    void downloadFileUrl();
    void connectionProbe();
    void myAddresses();
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

void NetworkRoutinesTest::myAddresses()
{
    const QStringList addresses = NetworkRoutines::GetMyIPs();
    QVERIFY(!addresses.isEmpty());
    for (const QString &address : addresses)
        QVERIFY2(!QHostAddress(address).isNull(), qPrintable(address));
}

QTEST_GUILESS_MAIN(NetworkRoutinesTest)
#include "tst_networkroutines.moc"
