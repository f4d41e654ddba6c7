#include "platform/endsignals.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::array<int, 3> watched{SIGTERM, SIGINT, SIGHUP};
// Written by the destructor: the thread ends.
constexpr unsigned char quitByte = 0xFF;

int pipeEnds[2] = {-1, -1};
// What each watched signal did before: put back when the object goes.
std::array<struct sigaction, 3> previous{};

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &number, 1);
    errno = saved;
}

} // namespace

EndSignals::EndSignals(Handler handler) : m_handler(std::move(handler))
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_installed = true;
    m_thread = std::thread([this] { run(); });
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal the program was started to ignore (SIGINT and SIGHUP of a job started with
    // nohup or "&") stays ignored.
    for (std::size_t i = 0; i < watched.size(); ++i) {
        if (::sigaction(watched[i], nullptr, &previous[i]) == 0 &&
            previous[i].sa_handler != SIG_IGN)
            ::sigaction(watched[i], &action, nullptr);
    }
}

EndSignals::~EndSignals()
{
    if (!m_installed)
        return;
    for (std::size_t i = 0; i < watched.size(); ++i) {
        struct sigaction now
        {
        };
        if (::sigaction(watched[i], nullptr, &now) == 0 && now.sa_handler == onSignal)
            ::sigaction(watched[i], &previous[i], nullptr);
    }
    const unsigned char quit = quitByte;
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &quit, 1);
    m_thread.join();
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void EndSignals::endBy(int signal)
{
    ::signal(signal, SIG_DFL);
    // Raised at this thread; its default action ends the whole program.
    ::raise(signal);
    // Only when the signal could not end it (blocked or ignored by the caller's mask).
    std::_Exit(128 + signal);
}

void EndSignals::run()
{
    int waitMs = -1;
    for (;;) {
        pollfd p{pipeEnds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, waitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            waitMs = m_handler ? m_handler(0) : -1;
            continue;
        }
        unsigned char number = 0;
        const ssize_t got = ::read(pipeEnds[0], &number, 1);
        if (got != 1)
            continue;
        if (number == quitByte)
            return;
        waitMs = m_handler ? m_handler(number) : -1;
    }
}

} // namespace platform
