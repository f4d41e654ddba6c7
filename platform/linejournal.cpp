#include "platform/linejournal.h"

#include <QDateTime>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::int64_t steadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QByteArray stamped(const QString &text, int priority = -1)
{
    QByteArray bytes;
    if (priority >= 0)
        bytes = '<' + QByteArray::number(priority) + '>';
    bytes += QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8();
    bytes += ' ';
    bytes += text.toUtf8();
    bytes += '\n';
    return bytes;
}

// How long the writer sleeps at most before it looks whether the journal is ending.
constexpr int sliceMs = 100;

// systemd sets JOURNAL_STREAM to "device:inode" of the journal stream it connects a
// unit's standard output or error to; a descriptor that is that stream is the journal's.
bool isJournalStream(const struct stat &status)
{
    const QByteArray named = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = named.indexOf(':');
    if (colon <= 0)
        return false;
    bool deviceRead = false;
    bool inodeRead = false;
    const qulonglong device = named.left(colon).toULongLong(&deviceRead);
    const qulonglong inode = named.mid(colon + 1).toULongLong(&inodeRead);
    return deviceRead && inodeRead && device == qulonglong(status.st_dev) &&
           inode == qulonglong(status.st_ino);
}

} // namespace

LineJournal::LineJournal(int fd, std::size_t capacity)
    : m_fd(fd), m_capacity(std::max<std::size_t>(capacity, 1))
{
    struct stat status
    {
    };
    if (::fstat(fd, &status) == 0) {
        m_socket = S_ISSOCK(status.st_mode);
        m_journalStream = isJournalStream(status);
        // O_NONBLOCK on the descriptor itself would reach every process that shares it
        // (a parent shell, the X server in the kiosk session); a descriptor of our own for
        // the same pipe or terminal keeps it to this journal.
        if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)) {
            const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
            m_ownFd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        }
    }
    m_writer = std::thread([this] { run(); });
}

LineJournal::~LineJournal()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_giveUpAt = steadyNow() + std::int64_t(drainMs) * 1000000;
    }
    m_wake.notify_one();
    m_writer.join();
    if (m_ownFd >= 0)
        ::close(m_ownFd);
}

bool LineJournal::write(const QString &line, int priority)
{
    QByteArray bytes = stamped(line, m_journalStream ? priority : -1);
    {
        const std::lock_guard lock(m_mutex);
        if (m_queue.size() >= m_capacity) {
            ++m_dropped;
            ++m_queue.back().droppedAfter;
            return false;
        }
        m_queue.push_back(Entry{std::move(bytes)});
    }
    m_wake.notify_one();
    return true;
}

bool LineJournal::flush(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return m_queue.empty() && !m_writing; });
}

std::uint64_t LineJournal::dropped() const
{
    const std::lock_guard lock(m_mutex);
    return m_dropped;
}

void LineJournal::run()
{
    // A reader that has gone must not end the program: this thread gets EPIPE instead of
    // SIGPIPE, which is aimed at the thread that wrote.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            break;
        Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        m_writing = true;
        lock.unlock();
        const bool written = writeOut(entry.bytes);
        if (entry.droppedAfter > 0)
            writeOut(stamped(QStringLiteral("journal: %1 lines dropped, the reader was too slow")
                                 .arg(entry.droppedAfter),
                             m_journalStream ? warning : -1));
        lock.lock();
        if (!written)
            ++m_dropped;
        m_writing = false;
        m_idle.notify_all();
    }
}

bool LineJournal::writeOut(const QByteArray &bytes)
{
    std::size_t done = 0;
    while (done < std::size_t(bytes.size())) {
        const long written = writeSome(bytes.constData() + done, std::size_t(bytes.size()) - done);
        if (written < 0)
            return false;
        done += std::size_t(written);
        if (done == std::size_t(bytes.size()))
            break;
        int waitMs = sliceMs;
        if (const std::int64_t giveUpAt = m_giveUpAt; giveUpAt != 0) {
            const std::int64_t left = giveUpAt - steadyNow();
            if (left <= 0)
                return false;
            waitMs = int(std::min<std::int64_t>(waitMs, left / 1000000 + 1));
        }
        pollfd p{m_ownFd >= 0 ? m_ownFd : m_fd, POLLOUT, 0};
        ::poll(&p, 1, waitMs);
    }
    return true;
}

long LineJournal::writeSome(const char *data, std::size_t size)
{
    ssize_t n;
    do {
        if (m_socket)
            n = ::send(m_fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        else
            n = ::write(m_ownFd >= 0 ? m_ownFd : m_fd, data, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    return long(n);
}

} // namespace platform
