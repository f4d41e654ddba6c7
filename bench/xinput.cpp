#include "bench/xinput.h"

#include <QGuiApplication>
#include <QWidget>

#include <cstdlib>
#include <xcb/xtest.h>

namespace {

xcb_connection_t *applicationConnection()
{
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

constexpr xcb_keysym_t kReturn = 0xff0d;

} // namespace

XInput::XInput() : m_connection(applicationConnection())
{
    if (!m_connection)
        return;
    const xcb_setup_t *setup = xcb_get_setup(m_connection);
    m_root = xcb_setup_roots_iterator(setup).data->root;

    xcb_test_get_version_reply_t *version =
        xcb_test_get_version_reply(m_connection, xcb_test_get_version(m_connection, 2, 1), nullptr);
    if (!version)
        return;
    std::free(version);

    // The keycodes of the symbols a reader types.
    const int count = setup->max_keycode - setup->min_keycode + 1;
    xcb_get_keyboard_mapping_reply_t *mapping = xcb_get_keyboard_mapping_reply(
        m_connection, xcb_get_keyboard_mapping(m_connection, setup->min_keycode, count), nullptr);
    if (!mapping)
        return;
    const xcb_keysym_t *symbols = xcb_get_keyboard_mapping_keysyms(mapping);
    const int perCode = mapping->keysyms_per_keycode;
    for (int code = 0; code < count; ++code) {
        const xcb_keysym_t symbol = symbols[code * perCode];
        if (((symbol >= '0' && symbol <= '9') || symbol == kReturn) &&
            m_keycodes.find(symbol) == m_keycodes.end())
            m_keycodes[symbol] = xcb_keycode_t(setup->min_keycode + code);
    }
    std::free(mapping);
    m_valid = m_keycodes.size() == 11;
}

void XInput::click(const QWidget *target)
{
    const QPoint centre =
        target->mapToGlobal(target->rect().center()) * target->devicePixelRatioF();
    xcb_test_fake_input(m_connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, m_root,
                        qint16(centre.x()), qint16(centre.y()), 0);
    xcb_test_fake_input(m_connection, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, m_root, 0, 0, 0);
    xcb_test_fake_input(m_connection, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, m_root, 0, 0, 0);
    xcb_flush(m_connection);
}

void XInput::type(const QString &digits)
{
    for (const QChar digit : digits)
        key(xcb_keysym_t(digit.unicode()));
    xcb_flush(m_connection);
}

void XInput::enter()
{
    key(kReturn);
    xcb_flush(m_connection);
}

void XInput::key(xcb_keysym_t symbol)
{
    const auto found = m_keycodes.find(symbol);
    if (found == m_keycodes.end())
        return;
    xcb_test_fake_input(m_connection, XCB_KEY_PRESS, found->second, XCB_CURRENT_TIME, m_root, 0, 0,
                        0);
    xcb_test_fake_input(m_connection, XCB_KEY_RELEASE, found->second, XCB_CURRENT_TIME, m_root, 0,
                        0, 0);
}

void XInput::roundTrip()
{
    if (xcb_connection_t *connection = applicationConnection())
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}
