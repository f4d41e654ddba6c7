#pragma once

#include <QByteArray>

#include <chrono>

#include <sys/socket.h>
#include <sys/un.h>

namespace platform {

// The service manager's notification socket (systemd's $NOTIFY_SOCKET): one datagram per
// state, "READY=1" once the kiosk is up, "WATCHDOG=1" to say it still answers, "STOPPING=1"
// on the way out. Written without libsystemd: the protocol is one datagram on a unix socket
// whose address is in the environment ('@' for an abstract one). Where no service manager
// listens (a kiosk started by hand, a test) nothing is sent and nothing is said.
class ServiceNotifier
{
public:
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID, and takes them out of the
    // environment, so that no program started later speaks for the kiosk.
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier &) = delete;
    ServiceNotifier &operator=(const ServiceNotifier &) = delete;

    // A usable notification socket was named.
    bool enabled() const { return m_fd >= 0; }

    // The watchdog timeout the service manager asks this process to keep, zero when it
    // asks none (no socket, no WATCHDOG_USEC, or a WATCHDOG_PID of another process).
    std::chrono::microseconds watchdogTimeout() const { return m_watchdog; }

    // Sends one state datagram without ever blocking; false when it could not go out
    // (nothing listens, the socket's queue is full). Callers need not care.
    bool send(const QByteArray &state) const;

private:
    int m_fd = -1;
    sockaddr_un m_address{};
    socklen_t m_addressLength = 0;
    std::chrono::microseconds m_watchdog{0};
};

} // namespace platform
