#include "platform/singleinstanceguard.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace platform {

SingleInstanceGuard::SingleInstanceGuard(const QString &name)
{
    const QByteArray utf8 = name.toUtf8();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A leading zero byte selects the abstract namespace; the name follows it unterminated.
    const std::size_t length = std::min<std::size_t>(utf8.size(), sizeof(address.sun_path) - 1);
    std::memcpy(address.sun_path + 1, utf8.constData(), length);
    const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), addressLength) == 0) {
        m_fd = fd;
        return;
    }
    m_alreadyRunning = errno == EADDRINUSE;
    ::close(fd);
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace platform
