#pragma once

#include <QString>

struct xcb_connection_t;

// Tells whether an X server still answers. x11grab keeps delivering its last picture when its server has
// gone, so the screen capture asks the server itself from time to time. Plain XCB is used because Xlib
// ends the whole process when a connection breaks.
class X11ConnectionWatch {
public:
    X11ConnectionWatch() = default;
    ~X11ConnectionWatch();
    X11ConnectionWatch(const X11ConnectionWatch &) = delete;
    X11ConnectionWatch &operator=(const X11ConnectionWatch &) = delete;

    // displayName empty: $DISPLAY.
    bool open(const QString &displayName);
    void close();
    // One round trip to the server; false once the connection is broken.
    bool alive();

private:
    xcb_connection_t *connection = nullptr;
};
