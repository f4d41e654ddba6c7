#include "screens/clickarea.h"

#include "platform/errorreport.h"

#include <QMouseEvent>

ClickArea::ClickArea(QWidget *parent) : QLabel(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

void ClickArea::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
}

void ClickArea::mouseReleaseEvent(QMouseEvent *event)
{
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    event->accept();
    // The handler may block and pump messages; nothing of this object is touched after it.
    // An error leaving it is shown here, before it could unwind through Qt's dispatch.
    if (click && isEnabled())
        platform::runHandler([this] { emit clicked(); });
}
