#pragma once

#include <QRect>
#include <QString>
#include <QVector>

// The monitors of one X display in the order the application's screen list (QGuiApplication::screens()
// on the xcb platform) shows them, read from the X server itself so that the media layer needs no GUI
// library and works on native pixels even where Qt scales its screen geometry for high DPI.
//
// Order, as Qt 5.15's xcb platform builds it: X screens by number; within each X screen its RandR 1.5
// monitors in the server's order (the whole X screen when RandR offers no monitors); then the primary
// monitor moved to the front. The primary is the monitor flagged primary on the display's default X
// screen, or else the first monitor of that screen.
class X11ScreenLayout {
public:
    struct Screen {
        int xScreen = 0; // X screen number (":0.<xScreen>")
        QRect geometry;  // in the pixels of that X screen's root window
        bool primary = false;
        QString name;
    };

    // Reads the layout of the display (empty name: $DISPLAY). False, with the reason in *error, when the
    // display cannot be opened.
    bool read(const QString &displayName, QString *error);

    const QVector<Screen> &screens() const { return list; }
    // The display name as Xlib resolved it (":99", "host:0.0").
    QString displayName() const { return resolvedName; }

    // The x11grab input for a screen of the layout: "<host>:<display>.<xScreen>+<x>,<y>".
    static QString grabUrl(const QString &displayName, const Screen &screen);
    // Moves the primary entry to the front, keeping the others' order.
    static void primaryFirst(QVector<Screen> *screens);

private:
    QVector<Screen> list;
    QString resolvedName;
};
