#include "platform/singleinstanceguard.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// An open folder, closed when it goes.
class Folder
{
public:
    explicit Folder(const QByteArray &path)
        : m_fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
    {
    }
    ~Folder()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    int fd() const { return m_fd; }

    // This account's own, and writable by nobody else: then nobody else can create, replace
    // or link a file in it.
    bool isPrivate() const
    {
        struct stat status
        {
        };
        return m_fd >= 0 && ::fstat(m_fd, &status) == 0 && S_ISDIR(status.st_mode) &&
               status.st_uid == ::geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    }

private:
    int m_fd;
};

bool isPrivateFolder(const QByteArray &path)
{
    return !path.isEmpty() && path.startsWith('/') && Folder(path).isPrivate();
}

// systemd lists several runtime folders separated by colons; the unit's own comes first.
QByteArray firstOf(const QByteArray &list)
{
    const qsizetype colon = list.indexOf(':');
    return colon < 0 ? list : list.left(colon);
}

// The folder made for a build run by hand where no runtime folder is set. Someone else
// may have made it first: then it is not private and is not used.
QByteArray ownTemporaryFolder()
{
    const QByteArray path =
        QFile::encodeName(QDir::tempPath()) + "/orvanta-" + QByteArray::number(::geteuid());
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    return path;
}

// "net:[4026531840]" -> "4026531840"; empty where the namespace cannot be read.
QByteArray networkNamespace()
{
    char link[64] = {};
    const ssize_t length = ::readlink("/proc/self/ns/net", link, sizeof link - 1);
    if (length <= 0)
        return {};
    QByteArray id(link, length);
    const qsizetype open = id.indexOf('[');
    const qsizetype close = id.indexOf(']');
    if (open < 0 || close <= open + 1)
        return {};
    return id.mid(open + 1, close - open - 1);
}

} // namespace

QString SingleInstanceGuard::lockFolder()
{
    const QByteArray candidates[] = {
        firstOf(qgetenv("RUNTIME_DIRECTORY")),
        QByteArray(kKioskRuntimeFolder),
        qgetenv("XDG_RUNTIME_DIR"),
    };
    for (const QByteArray &candidate : candidates) {
        if (isPrivateFolder(candidate))
            return QFile::decodeName(candidate);
    }
    const QByteArray own = ownTemporaryFolder();
    return isPrivateFolder(own) ? QFile::decodeName(own) : QString();
}

SingleInstanceGuard::SingleInstanceGuard(const QString &name)
{
    const QString folderPath = lockFolder();
    // A name is one file in the folder, never a way out of it.
    if (folderPath.isEmpty() || name.isEmpty() || name.contains(QLatin1Char('/')))
        return;
    const Folder folder(QFile::encodeName(folderPath));
    if (!folder.isPrivate())
        return;
    QByteArray fileName = QFile::encodeName(name);
    const QByteArray space = networkNamespace();
    if (!space.isEmpty())
        fileName += ".net" + space;
    fileName += ".lock";

    const int fd = ::openat(folder.fd(), fileName.constData(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        return;
    m_path = folderPath + QLatin1Char('/') + QFile::decodeName(fileName);
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        ::close(fd);
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        m_fd = fd;
        return;
    }
    m_alreadyRunning = errno == EWOULDBLOCK;
    ::close(fd);
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace platform
