#include "x11connectionwatch.h"

#include <xcb/xcb.h>

#include <cstdlib>

X11ConnectionWatch::~X11ConnectionWatch() {
    close();
}

bool X11ConnectionWatch::open(const QString &displayName) {
    close();
    const QByteArray name = displayName.toLocal8Bit();
    connection = xcb_connect(displayName.isEmpty() ? nullptr : name.constData(), nullptr);
    // xcb_connect never returns null; a failed connection is one in the error state.
    if (xcb_connection_has_error(connection)) {
        close();
        return false;
    }
    return true;
}

void X11ConnectionWatch::close() {
    if (connection)
        xcb_disconnect(connection);
    connection = nullptr;
}

bool X11ConnectionWatch::alive() {
    if (!connection || xcb_connection_has_error(connection))
        return false;
    xcb_get_input_focus_reply_t *reply =
        xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr);
    std::free(reply);
    return reply && !xcb_connection_has_error(connection);
}
