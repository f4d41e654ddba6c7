#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QString>
#include <cstdint>
#include <optional>

// A blocking IPv4 TCP client over BSD sockets, as the link uses it on the GUI thread.
// States: closed (no socket), open but unconnected (a connect failed), connected.
// No operation reports a failure; it shows only in what the next operation returns.
class TTcpClient
{
public:
    TTcpClient() = default;
    ~TTcpClient();
    TTcpClient(const TTcpClient &) = delete;
    TTcpClient &operator=(const TTcpClient &) = delete;

    // Store the text; a change closes an open socket first.
    void setRemoteHost(const QString &host);
    void setRemotePort(const QString &port);
    const QString &remoteHost() const { return host; }
    const QString &remotePort() const { return port; }

    // When no socket is open: opens one, resolves the host and connects, the lookup and
    // the connect together giving up after connectTimeoutMs. The socket stays open when
    // either fails. A port that is neither a number nor a known service throws
    // ConversionError, after the socket was opened. When a socket is open already,
    // nothing happens.
    void activate();
    bool isOpen() const { return fd >= 0; }
    bool isConnected() const { return fd >= 0 && connected; }

    // Sends the text and CR LF in one call; false when it could not be sent whole.
    bool sendln(QByteArrayView bytes);

    // Waits up to the deadline for the socket to become readable; true only when at
    // least one byte can be peeked (false when the peer closed without sending).
    bool waitForData(QDeadlineTimer deadline);

    // Reads one whole reply: up to and including its CR LF, at most maxBytes, or
    // whatever has arrived when the deadline passes or the peer closes. Nothing after
    // the CR LF is taken. The first skip bytes are not searched for the CR LF.
    // *timedOut, when given, tells whether the deadline ended the reply before any of the
    // other three did.
    QByteArray receiveln(QDeadlineTimer deadline, int maxBytes, qsizetype skip = 0,
                         bool *timedOut = nullptr);

    // Shuts down both directions when connected, then closes the socket.
    void disconnect();

    int connectTimeoutMs = 5000;

    // Address resolution, the one place the link resolves a host. Host: empty is
    // 0.0.0.0, text beginning with a digit a dotted IPv4 address, other text a host
    // name's first address as the system's resolver gives it, asked within the deadline;
    // nullopt when there is no usable address (0.0.0.0 included, which Linux would route
    // to the local host). The address is in network byte order. *timedOut, when given,
    // tells whether the deadline ended the lookup.
    static std::optional<std::uint32_t> resolveHost(const QString &host, QDeadlineTimer deadline,
                                                    bool *timedOut = nullptr);
    // Port: empty is 0, a known service name its port, other text a decimal number;
    // anything else throws ConversionError.
    static int resolvePort(const QString &port);

private:
    bool connectTo(std::uint32_t address, int portNumber, const QDeadlineTimer &deadline);

    QString host;
    QString port = QStringLiteral("50001");
    int fd = -1;
    bool connected = false;
};
