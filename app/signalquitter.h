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

signals:
    void stopRequested(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
};
