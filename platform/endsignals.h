#pragma once

#include <functional>
#include <thread>

namespace platform {

// Catches SIGTERM, SIGINT and SIGHUP (systemd's stop, Ctrl+C, xinit closing the session)
// and hands them to a thread of its own, so that what a stop does is decided while the GUI
// thread is blocked in an exchange or a pause, too. The signal handler only writes the
// signal's number into a pipe; the thread reads it and calls the handler there. One object
// at a time.
class EndSignals
{
public:
    // Runs on the signals' thread: with the signal's number when one arrived, with 0 when
    // the time that its last call asked for has passed. Returns how long to wait at most
    // for the next signal before it is called with 0, in milliseconds; negative: no limit.
    using Handler = std::function<int(int signal)>;

    explicit EndSignals(Handler handler);
    ~EndSignals();
    EndSignals(const EndSignals &) = delete;
    EndSignals &operator=(const EndSignals &) = delete;

    // Ends the program by the signal, with its default action, exactly as it would have
    // ended without this object.
    [[noreturn]] static void endBy(int signal);

private:
    void run();

    Handler m_handler;
    bool m_installed = false;
    std::thread m_thread;
};

} // namespace platform
