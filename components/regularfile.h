#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// A regular file opened for reading, closed when the object goes. The file routines read
// only regular files and open every name they are given through open(): a named pipe
// without a writer would block the open or the reads for ever, a device might never end,
// and opening a terminal can make it the controlling terminal of a caller that leads its
// session, whose hang-up then kills the caller (other devices act on open: a tape rewinds,
// a watchdog starts). So the name is refused by stat before anything opens it, the open
// neither waits (O_NONBLOCK) nor takes a terminal (O_NOCTTY), and what was opened must be
// the file that was looked at (the same device and inode), so that a swap in between is
// refused too.
class RegularFile
{
public:
    RegularFile() = default;
    RegularFile(RegularFile &&other) noexcept;
    RegularFile &operator=(RegularFile &&other) noexcept;
    RegularFile(const RegularFile &) = delete;
    RegularFile &operator=(const RegularFile &) = delete;
    ~RegularFile();

    // Opens `name` read-only; on failure the object stays closed and *why says why.
    static RegularFile openForReading(const QString &name, QString *why);

    bool isOpen() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }
    // As fstat gave it right after the open.
    const struct stat &info() const { return m_info; }

    // Reads up to `size` bytes (fewer only at the end of the file), retrying after
    // signals: the count, 0 at the end, -1 on a failure (errno set).
    qint64 read(void *buffer, qint64 size);
    // The same at a given offset, leaving the file position alone.
    qint64 readAt(qint64 offset, void *buffer, qint64 size);

private:
    int m_fd = -1;
    struct stat m_info = {};
};
