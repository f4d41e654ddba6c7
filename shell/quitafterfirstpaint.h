#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

// Ends the event loop once the watched window has finished its first paint: the end point
// of the start-up benchmark. Header-only so that the benchmark's bare Qt program can use
// it without linking the kiosk's libraries.
class QuitAfterFirstPaint : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Queued, so that this paint completes before the loop ends.
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};
