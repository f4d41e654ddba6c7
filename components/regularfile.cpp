#include "components/regularfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

RegularFile::RegularFile(RegularFile &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_info(other.m_info)
{
}

RegularFile &RegularFile::operator=(RegularFile &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_info = other.m_info;
    }
    return *this;
}

RegularFile::~RegularFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

RegularFile RegularFile::openForReading(const QString &name, QString *why)
{
    const QByteArray path = QFile::encodeName(name);
    struct stat before;
    if (path.isEmpty() || ::stat(path.constData(), &before) != 0) {
        *why = path.isEmpty() ? QStringLiteral("no file name") : qt_error_string(errno);
        return RegularFile();
    }
    if (!S_ISREG(before.st_mode)) {
        *why = QStringLiteral("not a regular file");
        return RegularFile();
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = qt_error_string(errno);
        return RegularFile();
    }
    RegularFile file;
    file.m_fd = fd;
    if (::fstat(fd, &file.m_info) != 0) {
        *why = qt_error_string(errno);
        return RegularFile();
    }
    if (!S_ISREG(file.m_info.st_mode) || file.m_info.st_dev != before.st_dev ||
        file.m_info.st_ino != before.st_ino) {
        *why = QStringLiteral("the file was replaced while it was opened");
        return RegularFile();
    }
    // Reads of a regular file block as files do; O_NONBLOCK only guarded the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return file;
}

namespace {

// Reads until `size` bytes came or the file ended, going on after signals; `step` reads at
// most n bytes to `to` after the `done` bytes already read, as read() or pread() does.
template <typename Step> qint64 readFully(char *buffer, qint64 size, Step step)
{
    qint64 total = 0;
    while (total < size) {
        const ssize_t got = step(buffer + total, size_t(size - total), total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

} // namespace

qint64 RegularFile::read(void *buffer, qint64 size)
{
    return readFully(static_cast<char *>(buffer), size,
                     [this](char *to, size_t n, qint64) { return ::read(m_fd, to, n); });
}

qint64 RegularFile::readAt(qint64 offset, void *buffer, qint64 size)
{
    return readFully(static_cast<char *>(buffer), size,
                     [this, offset](char *to, size_t n, qint64 done) {
                         return ::pread(m_fd, to, n, offset + done);
                     });
}
