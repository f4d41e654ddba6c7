#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QEvent;
class QWidget;

// Keeps a window in sight above the kiosk's full-screen screens, whichever of them is up,
// with or without a window manager, and leaves the keyboard focus where it is: the card
// and voucher readers type into the focused customer screen's entry box.
//
// Without a window manager (the kiosk's own session) the window shown last is on top, so
// the window is raised again after each showing of a screen.
//
// A window manager stacks by rules of its own that a raise does not override. Openbox keeps
// a full-screen window in a layer above all others, windows asked to stay on top included,
// while it or a window transient for it has the focus (or nothing has). It stacks a
// transient window (WM_TRANSIENT_FOR) in its parent's layer at least and directly above
// its parent. So the window is made transient for the screen that is up, again each time
// another screen has come up: it then stays above that screen while the screen keeps the
// focus, and also while the technician works in the window itself. Giving the window the
// focus would lift it above the screen too, but the reader's characters would then reach
// the window instead of the customer screen's entry box.
class KeepAbove : public QObject
{
    Q_OBJECT
public:
    // Owned by window. screens: the windows it stays above.
    KeepAbove(QWidget *window, const QList<QWidget *> &screens);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void watchNativeWindow(QWidget *screen);
    // The screen shown last of those still visible: the one the customer sees.
    QWidget *screenUp() const;
    void stackOverScreenUp();
    // Openbox minimises a transient window together with its parent: the window minimised
    // by the technician would take the customer screen down with it, with nothing left
    // on the display for the customer. The window stands alone again, and the screen is
    // restored.
    void minimiseAlone();

    QPointer<QWidget> m_window;
    // The screens, the one shown last first.
    QList<QPointer<QWidget>> m_screens;
};
