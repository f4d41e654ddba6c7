#include "shell/doubleclickarea.h"

#include <QMouseEvent>

DoubleClickArea::DoubleClickArea(QWidget *parent) : ClickArea(parent) {}

void DoubleClickArea::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The base class treats the second press as a press, so the click tracking stays whole.
    ClickArea::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton && isEnabled())
        emit doubleClicked();
}
