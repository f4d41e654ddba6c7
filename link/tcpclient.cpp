#include "link/tcpclient.h"

#include "platform/codepage.h"
#include "platform/decimalseparator.h"
#include "platform/hostlookup.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int millisecondsLeft(const QDeadlineTimer &deadline)
{
    const qint64 left = deadline.remainingTime();
    if (left < 0)
        return -1; // forever
    return int(qMin<qint64>(left, 1 << 30));
}

// poll() that resumes after a signal; returns the revents, or 0 on timeout or failure.
short pollFor(int fd, short events, const QDeadlineTimer &deadline)
{
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = ::poll(&p, 1, millisecondsLeft(deadline));
        if (r > 0)
            return p.revents;
        if (r == 0 || errno != EINTR)
            return 0;
    }
}

ssize_t peek(int fd, char *buffer, std::size_t size)
{
    ssize_t r;
    do {
        r = ::recv(fd, buffer, size, MSG_PEEK | MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

TTcpClient::~TTcpClient()
{
    disconnect();
}

void TTcpClient::setRemoteHost(const QString &text)
{
    if (text != host)
        disconnect();
    host = text;
}

void TTcpClient::setRemotePort(const QString &text)
{
    if (text != port)
        disconnect();
    port = text;
}

std::optional<std::uint32_t> TTcpClient::resolveHost(const QString &text, QDeadlineTimer deadline,
                                                     bool *timedOut)
{
    if (timedOut)
        *timedOut = false;
    in_addr address{};
    if (text.isEmpty()) {
        address.s_addr = INADDR_ANY;
    } else if (text.at(0).isDigit()) {
        const QByteArray dotted = platform::toCodePage(text);
        if (::inet_aton(dotted.constData(), &address) == 0)
            return std::nullopt;
    } else {
        // A resolver that does not answer would hold the GUI thread for as long as its
        // own retries take (10 s for one name server, half a minute for three).
        const platform::HostLookupResult found =
            platform::lookupHostIPv4(platform::toCodePage(text), deadline);
        if (timedOut)
            *timedOut = found.timedOut;
        if (found.addresses.isEmpty())
            return std::nullopt;
        address.s_addr = found.addresses.first();
    }
    if (address.s_addr == INADDR_ANY)
        return std::nullopt;
    return address.s_addr;
}

int TTcpClient::resolvePort(const QString &text)
{
    if (text.isEmpty())
        return 0;
    // A port in digits names no service: the lookup (the system's service database, read
    // afresh on each call) is left to names such as "http".
    const bool digits = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    if (!digits) {
        const QByteArray name = platform::toCodePage(text);
        if (const servent *service = ::getservbyname(name.constData(), "tcp"))
            return ntohs(std::uint16_t(service->s_port));
    }
    return textToInteger(text);
}

void TTcpClient::activate()
{
    if (fd >= 0)
        return;
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connected = false;
    if (fd < 0)
        return;
    const QDeadlineTimer deadline(connectTimeoutMs);
    const int portNumber = resolvePort(port);
    const std::optional<std::uint32_t> address = resolveHost(host, deadline);
    if (address && portNumber > 0 && portNumber <= 0xFFFF)
        connected = connectTo(*address, portNumber, deadline);
}

bool TTcpClient::connectTo(std::uint32_t address, int portNumber, const QDeadlineTimer &deadline)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;
    peer.sin_port = htons(std::uint16_t(portNumber));

    // A blocking connect to an address that drops packets takes minutes; the exchange
    // must give up long before, so connect without blocking and wait for it bounded.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0;
    if (!ok && errno == EINPROGRESS) {
        const short revents = pollFor(fd, POLLOUT, deadline);
        int error = 0;
        socklen_t length = sizeof error;
        ok = (revents & POLLOUT) && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
             error == 0;
    }
    if (!ok) {
        // Drop a connect still in progress: a blocking send on it would wait for the
        // system's own connect timeout, minutes later.
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        ::connect(fd, &unspecified, sizeof unspecified);
    }
    ::fcntl(fd, F_SETFL, flags);
    return ok;
}

bool TTcpClient::sendln(QByteArrayView bytes)
{
    // An unconnected socket has nowhere to send to.
    if (!isConnected())
        return false;
    QByteArray line(bytes.data(), bytes.size());
    line.append("\r\n", 2);
    ssize_t sent;
    do {
        // MSG_NOSIGNAL: a peer that has gone must not raise SIGPIPE and end the kiosk.
        sent = ::send(fd, line.constData(), std::size_t(line.size()), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == line.size();
}

bool TTcpClient::waitForData(QDeadlineTimer deadline)
{
    if (fd < 0)
        return false;
    const short revents = pollFor(fd, POLLIN | POLLPRI, deadline);
    if (!(revents & POLLIN) || (revents & POLLPRI))
        return false;
    char byte;
    return peek(fd, &byte, 1) == 1;
}

QByteArray TTcpClient::receiveln(QDeadlineTimer deadline, int maxBytes, qsizetype skip,
                                 bool *timedOut)
{
    QByteArray reply;
    if (timedOut)
        *timedOut = false;
    if (fd < 0)
        return reply;
    QByteArray window(maxBytes, Qt::Uninitialized);
    while (reply.size() < maxBytes) {
        if (!(pollFor(fd, POLLIN, deadline) & (POLLIN | POLLHUP | POLLERR))) {
            if (timedOut)
                *timedOut = true; // the exchange's time is up
            break;
        }
        const ssize_t peeked = peek(fd, window.data(), std::size_t(maxBytes - reply.size()));
        if (peeked <= 0)
            break; // closed by the peer, or failed
        // Search from the last byte already taken, for a CR LF split across segments,
        // but never inside the first skip bytes (a length byte of 13 is not a CR).
        const qsizetype before = reply.size();
        const QByteArray seen = reply + QByteArray(window.constData(), peeked);
        const qsizetype crlf = seen.indexOf("\r\n", qMax<qsizetype>(skip, before - 1));
        const qsizetype take = crlf >= 0 ? crlf + 2 - before : peeked;
        reply.resize(before + take);
        ssize_t got;
        do {
            got = ::recv(fd, reply.data() + before, std::size_t(take), 0);
        } while (got < 0 && errno == EINTR);
        reply.resize(before + qMax<ssize_t>(got, 0));
        if (got != take || crlf >= 0)
            break;
    }
    return reply;
}

void TTcpClient::disconnect()
{
    if (fd < 0)
        return;
    if (connected)
        ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    fd = -1;
    connected = false;
}
