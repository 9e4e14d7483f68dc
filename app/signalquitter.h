#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a queued notification on the GUI thread. The handler only writes the
// signal number into a pipe (async-signal-safe); the GUI thread reads it back through a socket notifier.
class SignalQuitter : public QObject {
    Q_OBJECT

public:
    explicit SignalQuitter(QObject *parent = nullptr);
    ~SignalQuitter() override;

    // Installs the handlers; false when the pipe or a handler cannot be set up.
    bool install();
    // The last signal read so far, 0 if none: a signal that arrives while start-up still builds the window is
    // read by any event processing of that time, before anyone can be connected to stopRequested.
    int receivedSignal() const { return received; }

signals:
    void stopRequested(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
    int received = 0;
};
