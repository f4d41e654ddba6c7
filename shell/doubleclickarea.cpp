#include "shell/doubleclickarea.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QStyleHints>
#include <QtMath>

DoubleClickArea::DoubleClickArea(QWidget *parent) : ClickArea(parent) {}

void DoubleClickArea::mousePressEvent(QMouseEvent *event)
{
    ClickArea::mousePressEvent(event);
    pressed(event);
}

// Qt delivers the second press as a double click when its own, narrower, rule finds one:
// here it is a press like any other.
void DoubleClickArea::mouseDoubleClickEvent(QMouseEvent *event)
{
    ClickArea::mousePressEvent(event);
    pressed(event);
}

void DoubleClickArea::pressed(const QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const quint64 time = event->timestamp();
    // The screen's coordinates: the area may move between the two presses (a new screen
    // shape) and the finger is where it is.
    const QPointF place = event->globalPosition();
    const quint64 interval = quint64(QGuiApplication::styleHints()->mouseDoubleClickInterval());
    const QPointF moved = place - m_firstPlace;
    const bool second = m_firstPressed && time >= m_firstTime && time - m_firstTime < interval &&
                        qSqrt(QPointF::dotProduct(moved, moved)) <= kTapDistance;
    if (!second) {
        m_firstPressed = true;
        m_firstTime = time;
        m_firstPlace = place;
        return;
    }
    m_firstPressed = false;
    if (isEnabled())
        emit doubleClicked();
}
