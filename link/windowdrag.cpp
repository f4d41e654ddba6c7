#include "link/windowdrag.h"

#include <QMouseEvent>
#include <QWidget>

WindowDrag::WindowDrag(QWidget *window, const QList<QWidget *> &parts)
    : QObject(window), m_window(window)
{
    m_window->installEventFilter(this);
    for (QWidget *part : parts)
        part->installEventFilter(this);
}

bool WindowDrag::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        m_dragging = true;
        m_grip = mouse->globalPosition().toPoint() - m_window->pos();
        return true;
    }
    case QEvent::MouseMove: {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (!m_dragging || !(mouse->buttons() & Qt::LeftButton))
            return false;
        m_window->move(mouse->globalPosition().toPoint() - m_grip);
        return true;
    }
    case QEvent::MouseButtonRelease:
        if (!m_dragging)
            return false;
        m_dragging = false;
        return true;
    default:
        return false;
    }
}
