#include "shell/keepabove.h"

#include <QEvent>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

namespace {

// Qt's X platform writes WM_TRANSIENT_FOR only for dialogs, tool windows and the like, and
// only as it maps the window; here the window is a plain one whose parent changes while it
// is up, so the property is written directly. Other platforms have no such property.
xcb_connection_t *xConnection()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

void setTransientFor(QWindow *window, QWindow *parent)
{
    xcb_connection_t *connection = xConnection();
    if (!connection)
        return;
    const auto parentId = xcb_window_t(parent->winId());
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window->winId()),
                        XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32, 1, &parentId);
    xcb_flush(connection);
}

void removeTransientFor(QWindow *window)
{
    xcb_connection_t *connection = xConnection();
    if (!connection)
        return;
    xcb_delete_property(connection, xcb_window_t(window->winId()), XCB_ATOM_WM_TRANSIENT_FOR);
    xcb_flush(connection);
}

} // namespace

KeepAbove::KeepAbove(QWidget *window, const QList<QWidget *> &screens)
    : QObject(window), m_window(window)
{
    m_window->installEventFilter(this);
    // Those up already first, as if shown last.
    for (QWidget *screen : screens) {
        if (screen->isVisible())
            m_screens.prepend(screen);
        else
            m_screens.append(screen);
        screen->installEventFilter(this);
        watchNativeWindow(screen);
    }
    stackOverScreenUp();
}

bool KeepAbove::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::WindowStateChange) {
        if (m_window && (m_window->windowState() & Qt::WindowMinimized))
            QTimer::singleShot(0, this, [this] { minimiseAlone(); });
        else if (watched == m_window)
            QTimer::singleShot(0, this, [this] { stackOverScreenUp(); });
        return false;
    }
    if (event->type() == QEvent::Show && watched == m_window) {
        // Mapping the window again, Qt removes the property: written once it is done.
        QTimer::singleShot(0, this, [this] { stackOverScreenUp(); });
        return false;
    }
    if (event->type() == QEvent::Show) {
        auto *screen = qobject_cast<QWidget *>(watched);
        const qsizetype at = m_screens.indexOf(screen);
        if (!screen || at < 0)
            return false;
        m_screens.move(at, 0);
        // The native window exists by now, and it can be a new one.
        watchNativeWindow(screen);
        // Once the screen's own showing, which maps it on top, has been handled.
        QTimer::singleShot(0, this, [this] {
            if (m_window && m_window->isVisible())
                m_window->raise();
        });
        return false;
    }
    // A window manager maps a screen once it has taken it in: only then can the window be
    // made transient for it.
    if (event->type() == QEvent::Expose) {
        const QWidget *screen = screenUp();
        if (screen && watched == screen->windowHandle())
            QTimer::singleShot(0, this, [this] { stackOverScreenUp(); });
    }
    return false;
}

void KeepAbove::watchNativeWindow(QWidget *screen)
{
    // Installed once only, however often it is asked for.
    if (QWindow *handle = screen->windowHandle())
        handle->installEventFilter(this);
}

QWidget *KeepAbove::screenUp() const
{
    for (const QPointer<QWidget> &screen : m_screens) {
        if (screen && screen->isVisible())
            return screen;
    }
    return nullptr;
}

void KeepAbove::stackOverScreenUp()
{
    const QWidget *screen = screenUp();
    if (!m_window || !m_window->isVisible() || (m_window->windowState() & Qt::WindowMinimized) ||
        !screen)
        return;
    QWindow *own = m_window->windowHandle();
    QWindow *parent = screen->windowHandle();
    if (own && parent && parent->isExposed())
        setTransientFor(own, parent);
}

void KeepAbove::minimiseAlone()
{
    if (!m_window || !(m_window->windowState() & Qt::WindowMinimized))
        return;
    if (QWindow *own = m_window->windowHandle())
        removeTransientFor(own);
    for (const QPointer<QWidget> &screen : std::as_const(m_screens)) {
        if (screen && screen->isVisible() && (screen->windowState() & Qt::WindowMinimized))
            screen->setWindowState(screen->windowState() & ~Qt::WindowMinimized);
    }
}
