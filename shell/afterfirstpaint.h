#pragma once

#include <QEvent>
#include <QObject>

#include <functional>
#include <utility>

// Runs an action once the watched window has finished its first paint: the end point of
// the start-up benchmark, and the moment the kiosk starts to prepare its hidden screens.
// Header-only so that the benchmark's bare Qt program can use it without linking the
// kiosk's libraries.
class AfterFirstPaint : public QObject
{
public:
    explicit AfterFirstPaint(std::function<void()> action, QObject *parent = nullptr)
        : QObject(parent), m_action(std::move(action))
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Queued, so that this paint completes (and reaches the screen) first.
            QMetaObject::invokeMethod(
                this, [this] { m_action(); }, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_action;
    bool m_seen = false;
};
