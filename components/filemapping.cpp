#include "components/filemapping.h"

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>
#include <zlib.h>

namespace {

// The mapping is summed a window at a time, and the kernel is asked to read the next
// window ahead: a file that is not in the page cache then streams as with read(), and
// one much larger than memory is never asked for all at once.
constexpr qint64 kWindow = 16LL << 20;

// The reader of this thread that may fault, and where its mapping lies. Initial-exec TLS:
// the signal handler reads it, and that model never allocates on first use.
struct Reader
{
    sigjmp_buf resume;
    const unsigned char *begin;
    const unsigned char *end;
};
thread_local Reader *t_reader __attribute__((tls_model("initial-exec"))) = nullptr;

std::mutex g_lock;
int g_readers = 0;
struct sigaction g_previous;

// Whatever would have happened to this SIGBUS without us.
void passOn(int signal, siginfo_t *info, void *context)
{
    const struct sigaction previous = g_previous;
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
        return;
    }
    // A fault repeats when the handler returns and then ends the process by the default
    // action (the kernel does not let a fault be ignored either); a SIGBUS that someone
    // sent is ignored when it was before, and ends the process otherwise.
    const bool fault = info->si_code > 0;
    if (!fault && previous.sa_handler == SIG_IGN)
        return;
    struct sigaction standard = {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    ::sigaction(SIGBUS, &standard, nullptr);
    if (!fault)
        ::raise(SIGBUS);
}

void onSigbus(int signal, siginfo_t *info, void *context)
{
    Reader *reader = t_reader;
    const auto *address = static_cast<const unsigned char *>(info->si_addr);
    if (reader && info->si_code > 0 && address >= reader->begin && address < reader->end)
        siglongjmp(reader->resume, 1);
    passOn(signal, info, context);
}

// Holds the handler in place while this thread reads, with SIGBUS unblocked (a fault
// while it is blocked would end the process at once).
class FaultScope
{
public:
    FaultScope()
    {
        {
            const std::lock_guard<std::mutex> lock(g_lock);
            if (g_readers++ == 0) {
                struct sigaction ours = {};
                ours.sa_sigaction = onSigbus;
                ours.sa_flags = SA_SIGINFO;
                sigemptyset(&ours.sa_mask);
                ::sigaction(SIGBUS, &ours, &g_previous);
            }
        }
        sigset_t bus;
        sigemptyset(&bus);
        sigaddset(&bus, SIGBUS);
        pthread_sigmask(SIG_UNBLOCK, &bus, &m_mask);
    }
    FaultScope(const FaultScope &) = delete;
    FaultScope &operator=(const FaultScope &) = delete;
    ~FaultScope()
    {
        pthread_sigmask(SIG_SETMASK, &m_mask, nullptr);
        const std::lock_guard<std::mutex> lock(g_lock);
        if (--g_readers == 0) {
            // Put back what was there, unless someone has installed a handler of their own
            // since: theirs stays.
            struct sigaction current;
            ::sigaction(SIGBUS, &g_previous, &current);
            if (!(current.sa_flags & SA_SIGINFO) || current.sa_sigaction != onSigbus)
                ::sigaction(SIGBUS, &current, nullptr);
        }
    }

private:
    sigset_t m_mask;
};

} // namespace

FileMapping::FileMapping(int fd, qint64 size)
{
    if (size <= 0 || quint64(size) > quint64(SIZE_MAX))
        return;
    void *data = ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED)
        return;
    m_data = static_cast<const unsigned char *>(data);
    m_size = size;
}

FileMapping::~FileMapping()
{
    if (m_data)
        ::munmap(const_cast<unsigned char *>(m_data), size_t(m_size));
}

bool FileMapping::crc32(quint32 *crc) const
{
    if (!m_data)
        return false;
    const FaultScope scope;
    Reader reader;
    reader.begin = m_data;
    reader.end = m_data + m_size;
    // Nothing that lives across the jump changes after this point, so nothing needs to be
    // volatile; the register is only handed out when the whole mapping was read.
    if (sigsetjmp(reader.resume, 1) != 0) {
        t_reader = nullptr;
        return false;
    }
    t_reader = &reader;
    uLong reg = *crc;
    for (qint64 offset = 0; offset < m_size; offset += kWindow) {
        const qint64 length = std::min(kWindow, m_size - offset);
        const qint64 ahead = offset + kWindow;
        if (ahead < m_size)
            ::madvise(const_cast<unsigned char *>(m_data + ahead),
                      size_t(std::min(kWindow, m_size - ahead)), MADV_WILLNEED);
        reg = ::crc32(reg, m_data + offset, uInt(length));
    }
    t_reader = nullptr;
    *crc = quint32(reg);
    return true;
}
