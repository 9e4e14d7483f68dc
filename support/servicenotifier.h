#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// Tells a service manager (systemd with Type=notify) how the program is doing: ready once the window and the
// stream are set up, alive from the GUI thread's event loop (so that a hung window is restarted), the stream's
// state as the status line, and stopping. Started by nothing that listens (no NOTIFY_SOCKET), every call does
// nothing.
class ServiceNotifier : public QObject {
    Q_OBJECT

public:
    explicit ServiceNotifier(QObject *parent = nullptr);

    // A service manager listens.
    bool isActive() const { return active; }
    // READY=1 with the first status line; starts the watchdog pings when the manager asked for them.
    void ready(const QString &status);
    void setStatus(const QString &status);
    // STOPPING=1: the program is on its way out (SIGTERM).
    void stopping();
    // The watchdog's ping interval, 0 without a watchdog.
    int watchdogPingMs() const { return pingMs; }

private:
    void send(const QString &state);

    bool active = false;
    int pingMs = 0;
    QTimer pings;
};
