#pragma once

#include "screens/clickarea.h"

class QMouseEvent;

// A click area that also reports double clicks, for the staff areas that react to a
// double click only. The second press of a double click still counts as a click.
class DoubleClickArea : public ClickArea
{
    Q_OBJECT
public:
    explicit DoubleClickArea(QWidget *parent = nullptr);

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
};
