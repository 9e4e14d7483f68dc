#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>

// A time server of the tests' own on 127.0.0.1 (a port from the OS) whose clock runs offsetMs ahead of the
// system clock. pathDelayMs is added on each way, holdMs between its receive and transmit stamps; the other
// reply kinds answer wrongly or not at all.
class SntpTestServer {
public:
    enum Reply { Good, Silent, ForgedFirst, ClientMode, Short, ZeroTransmit };

    explicit SntpTestServer(Reply reply, int offsetMs = 0, int pathDelayMs = 0, int holdMs = 0);
    ~SntpTestServer();
    SntpTestServer(const SntpTestServer &) = delete;
    SntpTestServer &operator=(const SntpTestServer &) = delete;

    // "127.0.0.1:<port>"
    QString address() const;
    int requests() const { return requestCount.load(); }

private:
    void serve();

    Reply reply;
    int64_t offsetNs;
    int pathDelayMs;
    int holdMs;
    int fd;
    int forger;
    std::atomic<bool> stop{false};
    std::atomic<int> requestCount{0};
    std::thread worker;
};
