#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// The stop flag of a backend's capture thread with an interruptible pause: stop() ends every pause at once,
// so retry delays never hold up a stop.
class CaptureThreadGate {
public:
    void reset() {
        std::lock_guard<std::mutex> guard(lock);
        stopping.store(false);
    }
    void stop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping.store(true);
        }
        woken.notify_all();
    }
    bool stopRequested() const { return stopping.load(); }
    // Sleeps up to ms; true when a stop was asked for meanwhile.
    bool pause(int ms) {
        std::unique_lock<std::mutex> guard(lock);
        woken.wait_for(guard, std::chrono::milliseconds(ms), [this] { return stopping.load(); });
        return stopping.load();
    }
    // For FFmpeg's interrupt callback.
    const std::atomic<bool> *flag() const { return &stopping; }

private:
    std::mutex lock; // pairs with woken; stopping itself is atomic so that readers need no lock
    std::condition_variable woken;
    std::atomic<bool> stopping{false};
};
