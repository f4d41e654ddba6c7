#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace platform {

// Lets the program say something before SIGTERM, SIGINT or SIGHUP ends it (systemd's stop,
// Ctrl+C, xinit closing the session). The signal handler only writes the signal's number
// into a pipe; the event loop reads it and calls lastWords on the GUI thread, then the
// signal is raised again with its default action, so that the program ends exactly as it
// would have without this object. One object at a time.
class EndSignals : public QObject
{
    Q_OBJECT
public:
    explicit EndSignals(std::function<void(int signal)> lastWords, QObject *parent = nullptr);
    ~EndSignals() override;

private:
    void arrived();

    std::function<void(int)> m_lastWords;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace platform
