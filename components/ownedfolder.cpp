#include "components/ownedfolder.h"

#include "platform/writeall.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxLinks = 40; // as the kernel's own limit on links in one path

bool trustedOwner(uid_t uid)
{
    return uid == 0 || uid == ::geteuid();
}

bool closedToOthers(const struct stat &st)
{
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A folder that the walk may go through: one that no other account can change the names
// in, or root's sticky folder, where others cannot rename or delete what is not theirs.
bool passable(const struct stat &st)
{
    return trustedOwner(st.st_uid) &&
           (closedToOthers(st) || (st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0));
}

int openFolderAt(int at, const QByteArray &name)
{
    return ::openat(at, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::deque<QByteArray> components(const QByteArray &path)
{
    std::deque<QByteArray> parts;
    for (const QByteArray &part : path.split('/')) {
        if (!part.isEmpty() && part != ".")
            parts.push_back(part);
    }
    return parts;
}

// A name of one file in the folder: no path, no way out of it.
bool plainName(const QByteArray &name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') &&
           !name.contains('\0');
}

} // namespace

OwnedFolder::~OwnedFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

OwnedFolder::OwnedFolder(OwnedFolder &&other) noexcept : m_fd(other.m_fd), m_status(other.m_status)
{
    other.m_fd = -1;
}

OwnedFolder &OwnedFolder::operator=(OwnedFolder &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        m_status = other.m_status;
        other.m_fd = -1;
    }
    return *this;
}

OwnedFolder OwnedFolder::open(const QString &path, const Options &options)
{
    QByteArray bytes = QFile::encodeName(path);
    if (bytes.isEmpty() || bytes.contains('\0'))
        return OwnedFolder(-1, Status::Missing);
    if (!bytes.startsWith('/'))
        bytes = QFile::encodeName(QDir::currentPath()) + '/' + bytes;
    std::deque<QByteArray> todo = components(bytes);

    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto give = [&fd](Status status) {
        if (fd >= 0)
            ::close(fd);
        return OwnedFolder(-1, status);
    };
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return give(Status::Failed);
    if (!passable(st))
        return give(Status::Unsafe);

    int links = 0;
    while (!todo.empty()) {
        const QByteArray name = todo.front();
        todo.pop_front();
        bool made = false;
        int next = openFolderAt(fd, name);
        if (next < 0 && errno == ENOENT && options.create) {
            if (::mkdirat(fd, name.constData(), options.mode) == 0)
                made = true;
            else if (errno != EEXIST)
                return give(errno == EACCES || errno == EPERM ? Status::Failed : Status::Missing);
            next = openFolderAt(fd, name);
        }
        if (next < 0) {
            const int error = errno;
            struct stat link;
            if ((error == ELOOP || error == ENOTDIR) &&
                ::fstatat(fd, name.constData(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(link.st_mode)) {
                if (!trustedOwner(link.st_uid))
                    return give(Status::Unsafe);
                if (++links > kMaxLinks)
                    return give(Status::Failed);
                QByteArray target(4096, '\0');
                const ssize_t length =
                    ::readlinkat(fd, name.constData(), target.data(), size_t(target.size()));
                if (length <= 0 || length >= target.size())
                    return give(Status::Failed);
                target.truncate(length);
                const std::deque<QByteArray> parts = components(target);
                todo.insert(todo.begin(), parts.begin(), parts.end());
                if (target.startsWith('/')) {
                    ::close(fd);
                    fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                    if (fd < 0)
                        return give(Status::Failed);
                }
                continue;
            }
            return give(error == ENOENT || error == ENOTDIR ? Status::Missing : Status::Failed);
        }
        ::close(fd);
        fd = next;
        if (::fstat(fd, &st) != 0)
            return give(Status::Failed);
        if (made) {
            // Made by us this moment: set its mode whatever the umask. Anyone who beat us to
            // the name in a sticky folder shows as its owner and is refused below.
            if (st.st_uid != ::geteuid())
                return give(Status::Unsafe);
            if (::fchmod(fd, options.mode) != 0 || ::fstat(fd, &st) != 0)
                return give(Status::Failed);
        }
        // The last folder is checked below, after its mode may have been set.
        if (!todo.empty() && !passable(st))
            return give(Status::Unsafe);
    }

    // The folder itself is ours, and no one else may change the names in it.
    if (st.st_uid != ::geteuid())
        return give(Status::Unsafe);
    if (options.tighten && (st.st_mode & 07777) != options.mode) {
        if (::fchmod(fd, options.mode) != 0 || ::fstat(fd, &st) != 0)
            return give(Status::Failed);
    }
    if (!closedToOthers(st))
        return give(Status::Unsafe);
    return OwnedFolder(fd, Status::Open);
}

bool OwnedFolder::exists(const QString &name) const
{
    const QByteArray bytes = QFile::encodeName(name);
    struct stat st;
    return isOpen() && plainName(bytes) &&
           ::fstatat(m_fd, bytes.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<QByteArray> OwnedFolder::read(const QString &name, qint64 limit) const
{
    const QByteArray bytes = QFile::encodeName(name);
    struct stat st;
    if (!isOpen() || !plainName(bytes) ||
        ::fstatat(m_fd, bytes.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const int fd = ::openat(m_fd, bytes.constData(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray content;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buffer[8192];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        content.append(buffer, n);
        ok = content.size() <= limit;
    }
    ::close(fd);
    return ok ? std::optional<QByteArray>(content) : std::nullopt;
}

bool OwnedFolder::write(const QString &name, const QByteArray &content, mode_t mode) const
{
    const QByteArray bytes = QFile::encodeName(name);
    if (!isOpen() || !plainName(bytes))
        return false;
    // A hidden name without the final name's suffix: sessions pass it over meanwhile.
    const QByteArray temporary =
        ".orvanta-" + QByteArray::number(QRandomGenerator::system()->generate64(), 16) + ".new";
    const int fd = ::openat(m_fd, temporary.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = platform::writeAll(fd, content) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::renameat(m_fd, temporary.constData(), m_fd, bytes.constData()) == 0;
    if (!ok) {
        ::unlinkat(m_fd, temporary.constData(), 0);
        return false;
    }
    ::fsync(m_fd);
    return true;
}

bool OwnedFolder::remove(const QString &name) const
{
    const QByteArray bytes = QFile::encodeName(name);
    return isOpen() && plainName(bytes) &&
           (::unlinkat(m_fd, bytes.constData(), 0) == 0 || errno == ENOENT);
}

QStringList OwnedFolder::files(const QString &suffix) const
{
    QStringList names;
    const int fd = isOpen() ? ::openat(m_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        struct stat st;
        if (name.endsWith(suffix) &&
            ::fstatat(m_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            names.append(name);
    }
    ::closedir(dir);
    names.sort();
    return names;
}
