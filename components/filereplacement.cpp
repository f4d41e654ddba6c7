#include "components/filereplacement.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// Longest part of the target's name that goes into the temporary name: with the dot, the
// random part and ".part" it stays within the 255 bytes a name may have.
constexpr int kMaxNameInTemp = 200;
constexpr int kTempTries = 100;

void closeIf(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// "a/b/c" gives "a/b" and "c"; "c" gives "." and "c"; "/c" gives "/" and "c".
std::pair<QByteArray, QByteArray> splitPath(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return {QByteArray("."), path};
    return {slash == 0 ? QByteArray("/") : path.left(slash), path.mid(slash + 1)};
}

QByteArray randomPart()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray part(6, '\0');
    for (char &c : part)
        c = alphabet[QRandomGenerator::system()->bounded(int(sizeof alphabet - 1))];
    return part;
}

// The process's umask without changing it for a moment (which another thread creating a
// file at that moment would feel): the kernel reports it since Linux 4.7.
mode_t currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(mask & 0777);
            }
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

bool fail(QString *why)
{
    *why = qt_error_string(errno);
    return false;
}

} // namespace

FileReplacement::FileReplacement(FileReplacement &&other) noexcept
    : m_folder(std::exchange(other.m_folder, -1)), m_temp(std::exchange(other.m_temp, -1)),
      m_name(std::move(other.m_name)), m_tempName(std::move(other.m_tempName)),
      m_exists(other.m_exists), m_old(other.m_old)
{
    other.m_tempName.clear();
}

FileReplacement &FileReplacement::operator=(FileReplacement &&other) noexcept
{
    if (this != &other) {
        discard();
        m_folder = std::exchange(other.m_folder, -1);
        m_temp = std::exchange(other.m_temp, -1);
        m_name = std::move(other.m_name);
        m_tempName = std::move(other.m_tempName);
        other.m_tempName.clear();
        m_exists = other.m_exists;
        m_old = other.m_old;
    }
    return *this;
}

FileReplacement::~FileReplacement()
{
    discard();
}

void FileReplacement::discard()
{
    closeIf(std::exchange(m_temp, -1));
    if (!m_tempName.isEmpty() && m_folder >= 0)
        ::unlinkat(m_folder, m_tempName.constData(), 0);
    m_tempName.clear();
    closeIf(std::exchange(m_folder, -1));
}

FileReplacement FileReplacement::prepare(const QString &target, QString *why)
{
    FileReplacement r;
    auto [folder, name] = splitPath(QFile::encodeName(target));
    if (name.isEmpty()) {
        *why = QStringLiteral("not a file name");
        return r;
    }
    r.m_folder = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (r.m_folder < 0) {
        fail(why);
        return r;
    }
    struct stat entry;
    if (::fstatat(r.m_folder, name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            fail(why);
            r.discard();
            return r;
        }
        r.m_name = name;
        return r;
    }
    if (S_ISLNK(entry.st_mode)) {
        // The kernel follows the link (and refuses what the protection of links in shared
        // folders refuses); /proc then names the file it found, whose folder is the one the
        // new content must go into. A link that leads nowhere is refused: creating a file
        // at a place a link chose is what a planted link is for.
        const int found = ::openat(r.m_folder, name.constData(), O_PATH | O_CLOEXEC);
        struct stat linked;
        char real[PATH_MAX];
        ssize_t length = -1;
        if (found >= 0 && ::fstat(found, &linked) == 0)
            length =
                ::readlink(QByteArray("/proc/self/fd/" + QByteArray::number(found)).constData(),
                           real, sizeof real);
        const int error = errno;
        closeIf(found);
        r.discard();
        if (length <= 0 || length >= ssize_t(sizeof real)) {
            *why = error == ENOENT ? QStringLiteral("a symbolic link that leads nowhere")
                                   : qt_error_string(error);
            return r;
        }
        if (!S_ISREG(linked.st_mode)) {
            *why = QStringLiteral("not a regular file");
            return r;
        }
        std::tie(folder, name) = splitPath(QByteArray(real, length));
        r.m_folder = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (r.m_folder < 0 ||
            ::fstatat(r.m_folder, name.constData(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            fail(why);
            r.discard();
            return r;
        }
        if (entry.st_dev != linked.st_dev || entry.st_ino != linked.st_ino) {
            *why = QStringLiteral("the file changed while it was looked up");
            r.discard();
            return r;
        }
    }
    if (!S_ISREG(entry.st_mode)) {
        *why = QStringLiteral("not a regular file");
        r.discard();
        return r;
    }
    r.m_name = name;
    r.m_exists = true;
    r.m_old = entry;
    return r;
}

bool FileReplacement::create(QString *why)
{
    const QByteArray stem = '.' + m_name.left(kMaxNameInTemp) + '.';
    for (int tries = 0; tries < kTempTries; ++tries) {
        const QByteArray candidate = stem + randomPart() + ".part";
        m_temp = ::openat(m_folder, candidate.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (m_temp >= 0) {
            m_tempName = candidate;
            return true;
        }
        if (errno != EEXIST)
            return fail(why);
    }
    return fail(why);
}

bool FileReplacement::write(const void *data, qint64 size, QString *why)
{
    const auto *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t put = ::write(m_temp, bytes, size_t(size));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return fail(why);
        bytes += put;
        size -= put;
    }
    return true;
}

bool FileReplacement::commit(QString *why)
{
    mode_t mode = 0666 & ~currentUmask();
    if (m_exists) {
        mode = m_old.st_mode & 0777;
        // Root gives the old owner back; others keep their own, or at least the group when
        // they belong to it. Neither is an error: the content is what was asked for.
        if (m_old.st_uid != ::geteuid() || m_old.st_gid != ::getegid()) {
            if (::fchown(m_temp, m_old.st_uid, m_old.st_gid) != 0)
                (void)::fchown(m_temp, uid_t(-1), m_old.st_gid);
        }
    }
    if (::fchmod(m_temp, mode) != 0 || ::fsync(m_temp) != 0)
        return fail(why);
    if (::renameat(m_folder, m_tempName.constData(), m_folder, m_name.constData()) != 0)
        return fail(why);
    m_tempName.clear();
    closeIf(std::exchange(m_temp, -1));
    // File systems that cannot sync a folder say EINVAL; nothing more can be done there.
    const bool synced = ::fsync(m_folder) == 0 || errno == EINVAL;
    if (!synced)
        fail(why);
    closeIf(std::exchange(m_folder, -1));
    return synced;
}
