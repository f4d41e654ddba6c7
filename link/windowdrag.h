#pragma once

#include <QList>
#include <QObject>
#include <QPoint>

class QEvent;
class QWidget;

// Moves a window by a drag with the left button on its body: its own background and that of
// the given parts (group boxes, whose labels pass their presses on to them). The kiosk's
// session has no window manager, so the window has no title bar to drag it by there;
// entry boxes and buttons keep their presses to themselves. With a window manager the drag
// works as well, beside the title bar.
class WindowDrag : public QObject
{
    Q_OBJECT
public:
    // Owned by window.
    WindowDrag(QWidget *window, const QList<QWidget *> &parts);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *const m_window;
    bool m_dragging = false;
    // Where the drag took hold, relative to the window's frame.
    QPoint m_grip;
};
