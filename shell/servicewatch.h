#pragma once

#include "platform/servicenotify.h"

#include <QObject>
#include <QTimer>

// What the kiosk tells systemd when its unit runs it (Type=notify, WatchdogSec=): READY=1
// once the main screen has been painted, WATCHDOG=1 from the GUI thread's event loop at
// half the watchdog timeout, and STOPPING=1 when the loop has ended. A GUI thread that
// hangs sends no more WATCHDOG=1, and systemd ends the session and starts it again.
// Outside a unit this does nothing.
class ServiceWatch : public QObject
{
    Q_OBJECT
public:
    explicit ServiceWatch(QObject *parent = nullptr);
    ~ServiceWatch() override;

    // Sends READY=1 after the window's first paint has completed.
    void readyAfterFirstPaint(QObject *window);

    // The interval of the WATCHDOG=1 timer, 0 when no watchdog was asked for.
    int pingIntervalMs() const;

private:
    platform::ServiceNotifier m_notifier;
    QTimer m_ping;
};
