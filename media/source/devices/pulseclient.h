#pragma once

#include <QString>

#include <atomic>

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>

// A connection to the PulseAudio server (PipeWire's Pulse server alike) on a mainloop that the owner's
// thread drives in bounded steps, so that no call waits for the server without a limit.
class PulseClient {
public:
    PulseClient() = default;
    ~PulseClient();
    PulseClient(const PulseClient &) = delete;
    PulseClient &operator=(const PulseClient &) = delete;

    // Connects without autospawning a server; false with *error set when no server answers within timeoutMs
    // or *abort (may be null) becomes true meanwhile.
    bool connect(int timeoutMs, const std::atomic<bool> *abort, QString *error);
    void disconnect();
    // Runs the mainloop for at most timeoutMs (one poll); false when the mainloop or the context failed.
    bool iterate(int timeoutMs);
    // Drives the mainloop until the operation has finished (it is unreferenced here); false on timeout.
    bool finish(pa_operation *operation, int timeoutMs, const std::atomic<bool> *abort = nullptr);
    bool connected() const;

    pa_context *context() const { return ctx; }
    QString lastError() const;

private:
    pa_mainloop *loop = nullptr;
    pa_context *ctx = nullptr;
};
