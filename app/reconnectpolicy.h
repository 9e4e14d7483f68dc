#pragma once

// Counts the automatic restarts after relay failures. The count is not reset by a successful start or
// by the operator: only reaching the limit resets it, so a link that keeps failing is given up on.
class ReconnectPolicy {
public:
    // A failure was reported while streaming; true when the stream is to be started again.
    bool failed(int limit);
    int count() const { return reconnectCount; }
    void reset() { reconnectCount = 0; }

private:
    int reconnectCount = 0;
};
