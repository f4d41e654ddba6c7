#pragma once

#include "screens/outercontrols.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>

class QEvent;
class QScreen;
class QWidget;

// Keeps one of the kiosk's full-screen windows over the whole of the screen it is on, the
// parts that a panel or dock would claim included, with or without a window manager.
//
// The window is maximised, as its layout asks, and full screen too: a window manager that
// honours the states then gives it the whole screen, not only the area left free by its
// panels. Without a window manager (a bare X session, the usual kiosk session) the states
// do nothing, so the window is also placed over the screen's geometry itself, when it is
// shown, when its screen changes size and when it moves to another screen.
//
// The layouts fill a 1024 x 768 design area at the top left; on a larger screen the rest of
// the window shows the button-face colour, where the controls laid out beyond the design
// area (the staff exit areas, the voucher screen's second return area, the server address
// footer) can then be read and touched. Those controls are placed for the screen's shape
// each time the window covers a screen (OuterControls).
//
// No control of the window opens a context menu: a right click, which many touch
// controllers make of a long press, would otherwise open Qt's edit menu over an entry box,
// and while a menu is open it takes the reader's keystrokes, so a whole read and its Enter
// would be lost.
class ScreenCover : public QObject
{
    Q_OBJECT
public:
    // Owned by window.
    explicit ScreenCover(QWidget *window);

    // The window's controls beyond the design area, to be registered once its layout is built.
    OuterControls &outerControls() { return m_outerControls; }

    // Places a window that is still hidden over its screen now, as its showing would, so
    // that its native window and backing store are made at the size it is shown at.
    void coverAhead();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void follow(QScreen *screen);
    void cover();
    void keepStates();
    void preventContextMenus();

    QWidget *const m_window;
    QPointer<QScreen> m_screen;
    QMetaObject::Connection m_screenChanged;
    QMetaObject::Connection m_geometryChanged;
    OuterControls m_outerControls;
};
