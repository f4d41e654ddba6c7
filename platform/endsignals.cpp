#include "platform/endsignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::array<int, 3> watched{SIGTERM, SIGINT, SIGHUP};

int pipeEnds[2] = {-1, -1};

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &number, 1);
    errno = saved;
}

} // namespace

EndSignals::EndSignals(std::function<void(int)> lastWords, QObject *parent)
    : QObject(parent), m_lastWords(std::move(lastWords))
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EndSignals::arrived);
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal the program was started to ignore (SIGINT and SIGHUP of a job started with
    // nohup or "&") stays ignored.
    for (const int signal : watched) {
        struct sigaction before
        {
        };
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            ::sigaction(signal, &action, nullptr);
    }
}

EndSignals::~EndSignals()
{
    if (!m_notifier)
        return;
    for (const int signal : watched) {
        struct sigaction now
        {
        };
        if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == onSignal)
            ::signal(signal, SIG_DFL);
    }
    delete m_notifier;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void EndSignals::arrived()
{
    unsigned char number = 0;
    if (::read(pipeEnds[0], &number, 1) != 1)
        return;
    if (m_lastWords)
        m_lastWords(number);
    ::signal(number, SIG_DFL);
    ::raise(number);
}

} // namespace platform
