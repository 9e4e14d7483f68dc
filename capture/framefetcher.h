#pragma once

#include "imfframe.h"
#include "mfformat.h"

#include <atomic>
#include <memory>

class MFormats;

// Fetches the frames of a live source on a thread of its own, so that a fetch that hangs inside a device holds
// only that thread: the capture loop stops waiting as soon as it is told to end. A fetcher destroyed while its
// fetch still hangs is left behind with the state it uses (the source included) and frees it when the fetch
// comes back; nothing of its owner is touched after that.
class FrameFetcher {
public:
    // Returned by fetch when the caller was told to end before the frame came.
    static constexpr int kAbandoned = 1;

    explicit FrameFetcher(std::shared_ptr<MFormats> source);
    ~FrameFetcher();
    FrameFetcher(const FrameFetcher &) = delete;
    FrameFetcher &operator=(const FrameFetcher &) = delete;

    // One frame converted to format: the source's result, or kAbandoned when keepGoing turned false (looked at
    // every few milliseconds) and the frame under way did not come within a short grace. A fetch abandoned
    // earlier must come back before the next one is asked for.
    int fetch(const MFFormat &format, MFFramePtr *frame, const std::atomic<bool> &keepGoing);

private:
    struct State;
    static void serve(const std::shared_ptr<State> &state);

    std::shared_ptr<State> state;
};
