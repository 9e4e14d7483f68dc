#include "networkclocksync.h"

#include "networkclock.h"

NetworkClockSync::NetworkClockSync(QObject *parent, int timeoutMs) : QThread(parent), timeoutMs(timeoutMs) {}

NetworkClockSync::~NetworkClockSync() {
    stop();
    // The exchange looks at the stop flag every 100 ms; only a name lookup can hold it longer.
    wait();
}

void NetworkClockSync::request() {
    if (!isRunning() && !stopping.load())
        start();
}

void NetworkClockSync::run() {
    emit synchronised(syncNetworkClock(timeoutMs, &stopping));
}
