#pragma once

#include <QString>

#include <map>
#include <xcb/xcb.h>

class QWidget;

// Input as the X server delivers it, injected through its XTEST extension on the
// application's own connection: clicks at a widget's centre and keys by their symbol.
class XInput
{
public:
    XInput();

    // False without an X11 connection or without XTEST.
    bool isValid() const { return m_valid; }

    void click(const QWidget *target);
    // Types the digits, as a reader does before its Enter.
    void type(const QString &digits);
    void enter();

    // Waits until the X server has handled every request sent so far on the
    // application's connection.
    static void roundTrip();

private:
    void key(xcb_keysym_t symbol);

    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
    std::map<xcb_keysym_t, xcb_keycode_t> m_keycodes;
    bool m_valid = false;
};
