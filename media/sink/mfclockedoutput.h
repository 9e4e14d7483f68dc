#pragma once

// Plays frames in time on an output of their own: the sound on a PulseAudio sink, which is the clock, and
// the pictures handed to a presenter at the output's frame rate. At each tick of that rate the presenter
// gets the newest picture whose time the sound has reached: pictures are dropped when the feed runs ahead
// of the sound and repeated (nothing new is presented) when it falls behind. A frame without sound plays
// its length of silence, so that the sound keeps the time also for a silent feed. Without a sound server
// the steady clock paces the pictures instead, and the sound server is tried again every few seconds.
//
// Threads: put() from any thread, never waits; the sound and the presenter each run a thread of their own;
// the presenter is called on its thread. The destructor ends both (within the sound server's buffer).

#include "imfframe.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class MFClockedOutput {
public:
    using Presenter = std::function<void(const MFFramePtr &frame)>;

    // Queued ahead of the clock at most; beyond it the oldest frames are dropped, so that a feed faster than
    // the sound card does not build up delay.
    static constexpr int MAX_AHEAD_MS = 400;
    // What the sound server holds: the delay of the sound, and the longest a stop waits for a write.
    static constexpr int SERVER_BUFFER_MS = 100;
    // After a sound server refused or failed, the next try comes this much later.
    static constexpr int RETRY_MS = 5000;

    explicit MFClockedOutput(Presenter present);
    ~MFClockedOutput();
    MFClockedOutput(const MFClockedOutput &) = delete;
    MFClockedOutput &operator=(const MFClockedOutput &) = delete;

    // The sink to play on, by the server's name; empty: the server's default. Takes effect at once.
    void setSoundOutput(const QString &sinkName);
    // Takes a frame of the media layer; MF_E_INVALIDARG for another kind.
    int put(const MFFramePtr &frame);

    // Pictures handed to the presenter and pictures dropped unseen, since construction.
    int64_t presented() const;
    int64_t dropped() const;
    // True while the sound server plays (and so keeps the time).
    bool soundClock() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
