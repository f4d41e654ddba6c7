#include "shell/servicewatch.h"

#include "shell/afterfirstpaint.h"

#include <algorithm>

ServiceWatch::ServiceWatch(QObject *parent) : QObject(parent)
{
    const auto timeout =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_notifier.watchdogTimeout());
    if (timeout.count() <= 0)
        return;
    // Half the timeout, as systemd advises: one late tick (a blocking exchange, a pause)
    // still leaves the other half. Pinging already while the windows are made is harmless,
    // and keeps an error box at start-up, whose loop runs this timer too, from counting as
    // a hang.
    m_ping.setTimerType(Qt::CoarseTimer);
    m_ping.setInterval(int(std::clamp<long long>(timeout.count() / 2, 1, 24LL * 3600 * 1000)));
    connect(&m_ping, &QTimer::timeout, this, [this] { m_notifier.send("WATCHDOG=1"); });
    m_ping.start();
}

ServiceWatch::~ServiceWatch()
{
    m_notifier.send("STOPPING=1");
}

void ServiceWatch::readyAfterFirstPaint(QObject *window)
{
    if (!m_notifier.enabled() || !window)
        return;
    auto *afterPaint = new AfterFirstPaint(
        [this] {
            m_notifier.send("READY=1");
            m_notifier.send("WATCHDOG=1");
        },
        window);
    window->installEventFilter(afterPaint);
}

int ServiceWatch::pingIntervalMs() const
{
    return m_ping.isActive() ? m_ping.interval() : 0;
}
