#include "platform/hostlookup.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

namespace platform {
namespace {

std::atomic<int> unreleased{0};

// One lookup handed to glibc's asynchronous resolver. glibc keeps a pointer to the request
// until the lookup ends, which may be long after the caller's deadline, so the request and
// everything it points to live in this heap block. Two owners share it: the caller, until
// it has its answer or gives up, and the completion notification, which glibc runs in a
// thread of its own once the resolver is done. Whichever lets go last frees the block.
struct Lookup
{
    std::atomic<int> owners{2};
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;

    QByteArray name;
    addrinfo hints{};
    gaicb request{};

    explicit Lookup(const QByteArray &text) : name(text)
    {
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM; // one entry per address, not one per socket type
        request.ar_name = name.constData();
        request.ar_request = &hints;
        ++unreleased;
    }
    ~Lookup()
    {
        if (done && gai_error(&request) == 0 && request.ar_result)
            ::freeaddrinfo(request.ar_result);
        --unreleased;
    }
    Lookup(const Lookup &) = delete;
    Lookup &operator=(const Lookup &) = delete;

    void release(int count = 1)
    {
        if (owners.fetch_sub(count, std::memory_order_acq_rel) == count)
            delete this;
    }
};

void lookupFinished(sigval value)
{
    auto *lookup = static_cast<Lookup *>(value.sival_ptr);
    {
        const std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->done = true;
    }
    lookup->answered.notify_all();
    lookup->release();
}

// Waits for the notification until the deadline; true when it came.
bool waitForAnswer(Lookup &lookup, const QDeadlineTimer &deadline)
{
    std::unique_lock<std::mutex> lock(lookup.mutex);
    while (!lookup.done) {
        if (deadline.isForever()) {
            lookup.answered.wait(lock);
            continue;
        }
        const qint64 left = deadline.remainingTimeNSecs();
        if (left <= 0)
            return false;
        lookup.answered.wait_for(lock, std::chrono::nanoseconds(left));
    }
    return true;
}

} // namespace

HostLookupResult lookupHostIPv4(const QByteArray &name, QDeadlineTimer deadline)
{
    HostLookupResult result;
    // A name with a NUL in it would be looked up cut short: it names no host.
    if (name.isEmpty() || name.contains('\0'))
        return result;
    if (deadline.hasExpired()) {
        result.timedOut = true;
        return result;
    }

    auto *lookup = new Lookup(name);
    sigevent notification{};
    notification.sigev_notify = SIGEV_THREAD;
    notification.sigev_notify_function = lookupFinished;
    notification.sigev_value.sival_ptr = lookup;
    gaicb *list[] = {&lookup->request};
    if (::getaddrinfo_a(GAI_NOWAIT, list, 1, &notification) != 0) {
        // Only when threads or memory ran out. glibc may still have queued the request, or
        // may still send the notification: the notification's share is left to it, so the
        // block is freed by the notification or, when none ever comes, kept rather than
        // freed under a request that may yet be written to.
        lookup->release();
        return result;
    }

    if (!waitForAnswer(*lookup, deadline)) {
        result.timedOut = true;
        // A request still queued is taken back and never notified: both shares are ours.
        // One that is running (EAI_NOTCANCELED) or just finished (EAI_ALLDONE) is notified
        // as usual, and the notification frees the block when it comes.
        const bool cancelled = ::gai_cancel(&lookup->request) == EAI_CANCELED;
        lookup->release(cancelled ? 2 : 1);
        return result;
    }

    if (gai_error(&lookup->request) == 0) {
        for (const addrinfo *a = lookup->request.ar_result; a; a = a->ai_next) {
            if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
                sockaddr_in address;
                std::memcpy(&address, a->ai_addr, sizeof address);
                result.addresses.append(address.sin_addr.s_addr);
            }
        }
    }
    lookup->release();
    return result;
}

int unreleasedHostLookups()
{
    return unreleased.load();
}

} // namespace platform
