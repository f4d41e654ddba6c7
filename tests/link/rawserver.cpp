#include "rawserver.h"

#include <QMutexLocker>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Waits for fd to become readable, checking the stop flag every 20 ms.
bool readable(int fd, const std::atomic<bool> &stopping, int timeoutMs)
{
    for (int waited = 0; !stopping && waited < timeoutMs; waited += 20) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0)
            return true;
    }
    return false;
}

} // namespace

int loopbackSocket(int backlog, quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    if (backlog >= 0)
        ::listen(fd, backlog);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return fd;
}

QByteArray replyFrame(const QByteArray &body)
{
    return QByteArray(1, '\0') + char(body.size() + 4) + QByteArray("\0\x04", 2) + body + "\r\n";
}

RawServer::RawServer(QList<Segment> script, bool hold) : script(std::move(script)), hold(hold)
{
    listener = loopbackSocket(8, &listeningPort);
    thread = std::thread([this] { serve(); });
}

RawServer::~RawServer()
{
    stopping = true;
    thread.join();
    ::close(listener);
}

QList<QByteArray> RawServer::requests() const
{
    QMutexLocker lock(&mutex);
    return received;
}

void RawServer::serve()
{
    while (!stopping) {
        if (!readable(listener, stopping, 20))
            continue;
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++accepted;
        answer(client);
        ::close(client);
    }
}

void RawServer::answer(int client)
{
    QByteArray request;
    while (!request.contains("\r\n") && readable(client, stopping, 2000)) {
        char buffer[512];
        const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        request.append(buffer, got);
    }
    {
        QMutexLocker lock(&mutex);
        received.append(request);
    }
    for (const Segment &segment : script) {
        for (int waited = 0; !stopping && waited < segment.delayMs; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::send(client, segment.bytes.constData(), std::size_t(segment.bytes.size()), MSG_NOSIGNAL);
    }
    // Held until the kiosk closes its end.
    while (hold && !stopping) {
        if (!readable(client, stopping, 20))
            continue;
        char byte;
        if (::recv(client, &byte, 1, 0) <= 0)
            break;
    }
}
