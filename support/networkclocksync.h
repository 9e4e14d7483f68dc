#pragma once

#include <QThread>

#include <atomic>

// Runs network clock synchronisations off the GUI thread, one at a time, and reports each result with the
// queued signal synchronised. Stopping never waits; the owner waits (bounded) before deleting it.
class NetworkClockSync : public QThread {
    Q_OBJECT

public:
    explicit NetworkClockSync(QObject *parent = nullptr, int timeoutMs = 5000);
    ~NetworkClockSync() override;

    // Starts a synchronisation unless one is already under way; that one's result serves this request too.
    void request();
    void stop() { stopping.store(true); }

signals:
    void synchronised(int status);

protected:
    void run() override;

private:
    std::atomic<bool> stopping{false};
    int timeoutMs;
};
