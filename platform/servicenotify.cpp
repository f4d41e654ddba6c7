#include "platform/servicenotify.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace platform {

namespace {

// A whole decimal number of the C locale's digits only, never through strtoull's locale
// or its leading blanks and signs; false for anything else or an overflow.
bool parseUnsigned(const char *text, unsigned long long &value)
{
    if (!text || !*text)
        return false;
    value = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        const unsigned digit = unsigned(*c - '0');
        if (value > (~0ULL - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

QByteArray takeEnvironment(const char *name)
{
    const char *value = std::getenv(name);
    QByteArray copy = value ? QByteArray(value) : QByteArray();
    ::unsetenv(name);
    return copy;
}

} // namespace

ServiceNotifier::ServiceNotifier()
{
    const QByteArray socketName = takeEnvironment("NOTIFY_SOCKET");
    const QByteArray watchdogUsec = takeEnvironment("WATCHDOG_USEC");
    const QByteArray watchdogPid = takeEnvironment("WATCHDOG_PID");

    // A path, or '@' and the name of an abstract socket; anything else (a vsock address,
    // a name too long for the address) is left unused.
    if (socketName.size() < 2 || (socketName[0] != '/' && socketName[0] != '@') ||
        std::size_t(socketName.size()) >= sizeof m_address.sun_path)
        return;
    m_address.sun_family = AF_UNIX;
    std::memcpy(m_address.sun_path, socketName.constData(), std::size_t(socketName.size()));
    if (socketName[0] == '@')
        m_address.sun_path[0] = '\0';
    m_addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + std::size_t(socketName.size()) +
                                (socketName[0] == '/' ? 1 : 0));
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0)
        return;

    // The watchdog is this process's only when WATCHDOG_PID, if given, names it.
    unsigned long long pid = 0;
    if (!watchdogPid.isEmpty() &&
        (!parseUnsigned(watchdogPid.constData(), pid) || pid != (unsigned long long)::getpid()))
        return;
    unsigned long long usec = 0;
    if (parseUnsigned(watchdogUsec.constData(), usec) && usec > 0)
        m_watchdog = std::chrono::microseconds(usec);
}

ServiceNotifier::~ServiceNotifier()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ServiceNotifier::send(const QByteArray &state) const
{
    if (m_fd < 0)
        return false;
    ssize_t sent;
    do {
        sent = ::sendto(m_fd, state.constData(), std::size_t(state.size()), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&m_address), m_addressLength);
    } while (sent < 0 && errno == EINTR);
    return sent == state.size();
}

} // namespace platform
