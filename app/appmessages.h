#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// Every message box of the main window goes through here. Where nobody can answer a box (the offscreen
// and minimal platforms, tests) the box is not shown: its text goes to the diagnostic stream and to the
// history, and the caller goes on at once.
class AppMessages {
public:
    static void warning(QWidget *parent, const QString &title, const QString &text);
    static void information(QWidget *parent, const QString &title, const QString &text);

    // On by default; start-up turns it off for platforms without a screen.
    static void setInteractive(bool interactive);
    static bool interactive();
    // True for platforms on which no operator sees or answers a window.
    static bool headlessPlatform();

    // "title: text" of every box since the last clear (GUI thread only).
    static QStringList history();
    static void clearHistory();
};
