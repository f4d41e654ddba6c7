#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

// A folder that only this account (and root) can change, held open by its file descriptor
// so that every later step works on the folder that was checked, never on a name that
// someone may have swapped since.
//
// Opening walks the path from "/" one name at a time with openat(O_NOFOLLOW|O_DIRECTORY)
// and checks each folder by fstat: it must belong to root or to this account and be closed
// to writes by anyone else. A sticky folder of root's (/tmp) may be passed through, as the
// sticky bit keeps others from renaming what lies in it; whatever lies in it is checked as
// any other step. A symbolic link on the way is followed only when it belongs to root or
// to this account (it lies in a checked folder, so no one else could have put it there),
// and its target is walked the same way.
class OwnedFolder
{
public:
    enum class Status {
        Open,
        Missing, // a name on the way is not there, or is no folder
        Unsafe,  // a folder or link on the way belongs to, or is writable by, another account
        Failed,  // the system refused (permission, no memory, too many links)
    };

    struct Options
    {
        // Folders that are missing are made (mkdirat) with `mode` and then checked as any
        // other; when false a missing folder gives Missing.
        bool create = false;
        // The mode that made folders get, whatever the umask. With `tighten`, the folder
        // itself is set to it too when it is there already (fchmod on the open folder):
        // for a folder of our own that an older version left open to others.
        mode_t mode = 0755;
        bool tighten = false;
    };

    OwnedFolder() = default;
    ~OwnedFolder();
    OwnedFolder(OwnedFolder &&other) noexcept;
    OwnedFolder &operator=(OwnedFolder &&other) noexcept;
    OwnedFolder(const OwnedFolder &) = delete;
    OwnedFolder &operator=(const OwnedFolder &) = delete;

    static OwnedFolder open(const QString &path, const Options &options);
    static OwnedFolder open(const QString &path) { return open(path, Options{}); }

    bool isOpen() const { return m_fd >= 0; }
    Status status() const { return m_status; }
    int fd() const { return m_fd; }

    // Whether a name is there at all (any kind of file, links not followed).
    bool exists(const QString &name) const;
    // The content of a regular file of this folder: never through a link, never a pipe or
    // a device; nothing when it is not there, is no regular file or exceeds `limit` bytes.
    std::optional<QByteArray> read(const QString &name, qint64 limit) const;
    // Replaces (or creates) a file with `content` and exactly `mode`: written into a fresh
    // file of this folder, synced, then renamed over the name, so the name holds either
    // the old or the new content. False, and nothing changed, when a step fails.
    bool write(const QString &name, const QByteArray &content, mode_t mode) const;
    // Deletes a file (not a folder); true when it is gone, or was never there.
    bool remove(const QString &name) const;
    // The names of the regular files of this folder that end in `suffix`.
    QStringList files(const QString &suffix) const;

private:
    explicit OwnedFolder(int fd, Status status) : m_fd(fd), m_status(status) {}

    int m_fd = -1;
    Status m_status = Status::Failed;
};
