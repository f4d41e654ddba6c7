#include "screens/screencover.h"

#include <QEvent>
#include <QPalette>
#include <QScreen>
#include <QWidget>
#include <QWindow>

ScreenCover::ScreenCover(QWidget *window) : QObject(window), m_window(window)
{
    // Beyond the design area the window shows its plain button-face colour.
    m_window->setBackgroundRole(QPalette::Button);
    m_window->installEventFilter(this);
    // A context menu event that no control takes ends at the window, which opens none.
    m_window->setContextMenuPolicy(Qt::PreventContextMenu);
}

void ScreenCover::coverAhead()
{
    follow(m_window->screen());
    cover();
}

bool ScreenCover::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window)
        return false;
    switch (event->type()) {
    case QEvent::Show:
        // Before the window is mapped, so that it appears in place. The native window exists
        // by now; it can be new when the window's flags changed since the last showing.
        if (QWindow *handle = m_window->windowHandle()) {
            disconnect(m_screenChanged);
            m_screenChanged = connect(handle, &QWindow::screenChanged, this, [this](QScreen *s) {
                follow(s);
                cover();
            });
        }
        keepStates();
        preventContextMenus();
        follow(m_window->screen());
        cover();
        break;
    case QEvent::WindowStateChange:
        // Someone asked for a state of their own (a plain showMaximized(), say): the window
        // stays over the whole screen.
        keepStates();
        break;
    default:
        break;
    }
    return false;
}

void ScreenCover::follow(QScreen *screen)
{
    if (screen == m_screen)
        return;
    disconnect(m_geometryChanged);
    m_screen = screen;
    if (screen)
        m_geometryChanged = connect(screen, &QScreen::geometryChanged, this, &ScreenCover::cover);
}

void ScreenCover::cover()
{
    if (!m_screen)
        return;
    const QRect area = m_screen->geometry();
    if (m_window->geometry() != area) {
        // Placing a window takes its maximised and full-screen states away; the window
        // system still has them, and the window gets them back.
        m_window->setGeometry(area);
        keepStates();
    }
    m_outerControls.place(area.size());
}

// Every control of the window, the entry boxes with their edit menus above all, hands its
// context menu events on to the window. Done at each showing, so that it holds for every
// control the layout has built, whenever it was built.
void ScreenCover::preventContextMenus()
{
    const auto controls = m_window->findChildren<QWidget *>();
    for (QWidget *control : controls)
        control->setContextMenuPolicy(Qt::NoContextMenu);
}

void ScreenCover::keepStates()
{
    const Qt::WindowStates states = m_window->windowState();
    // A minimised window is left to the window system until it is restored.
    if (states & Qt::WindowMinimized)
        return;
    const Qt::WindowStates wanted = states | Qt::WindowMaximized | Qt::WindowFullScreen;
    if (states != wanted)
        m_window->setWindowState(wanted);
}
