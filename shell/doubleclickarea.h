#pragma once

#include "screens/clickarea.h"

#include <QPointF>

class QMouseEvent;

// A click area that also reports double clicks, for the staff areas that react to a
// double click only. The second press of a double click still counts as a click.
//
// The double click is told from the presses' own times and places, whatever the input:
// a mouse, a touch screen whose taps Qt turns into mouse events, or a touch controller
// that reports itself as a mouse. Two presses of the left button (a tap) make one when the
// second comes within the platform's double-click interval of the first and lands within
// kTapDistance design pixels of it: a finger does not hit the same pixel twice, and Qt's
// own double click for the mouse allows 5 pixels only. A third press starts anew.
class DoubleClickArea : public ClickArea
{
    Q_OBJECT
public:
    explicit DoubleClickArea(QWidget *parent = nullptr);

    static constexpr qreal kTapDistance = 10;

signals:
    void doubleClicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    void pressed(const QMouseEvent *event);

    bool m_firstPressed = false;
    quint64 m_firstTime = 0;
    QPointF m_firstPlace;
};
