#include "bench/paintwatch.h"

#include "bench/xinput.h"

#include <QEvent>
#include <QWidget>

#include <chrono>

double PaintWatchApplication::nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

bool PaintWatchApplication::notify(QObject *receiver, QEvent *event)
{
    // A posted event is deleted once it has been handled: its type is read first.
    const QEvent::Type type = event->type();
    // Paints outside the two (into an offscreen image, say) never reach the screen.
    if (type == QEvent::Paint) {
        auto *widget = m_syncDepth > 0 ? qobject_cast<QWidget *>(receiver) : nullptr;
        if (widget) {
            if (!m_painted.contains(widget->window()))
                m_painted.append(widget->window());
        }
        return Application::notify(receiver, event);
    }
    // Widgets paint and flush their window inside these two: a top-level widget's update
    // request and its window's expose (the first paint after a window is mapped).
    if (type != QEvent::UpdateRequest && type != QEvent::Expose)
        return Application::notify(receiver, event);
    ++m_syncDepth;
    const bool handled = Application::notify(receiver, event);
    --m_syncDepth;
    if (m_syncDepth == 0 && !m_painted.isEmpty()) {
        XInput::roundTrip();
        const double at = nowMs();
        const QList<QWidget *> painted = std::exchange(m_painted, {});
        if (onPainted) {
            for (QWidget *window : painted)
                onPainted(window, at);
        }
    }
    return handled;
}
