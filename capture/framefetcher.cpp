#include "framefetcher.h"

#include "mformats.h"
#include "mfresult.h"

#include <QDebug>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
// How often a waiting caller looks whether it was told to end.
constexpr std::chrono::milliseconds kStopLookMs(10);
// A fetch under way at a Stop, or when the fetcher goes, normally ends within a frame period; only one that takes
// longer than this counts as hanging.
constexpr std::chrono::milliseconds kFetchGraceMs(250);
} // namespace

struct FrameFetcher::State {
    // Guards everything below; the fetch itself runs outside it.
    std::mutex lock;
    std::condition_variable changed;
    std::shared_ptr<MFormats> source;
    MFFormat format;
    bool requested = false;
    bool fetching = false;
    bool delivered = false;
    bool quit = false;
    int result = MF_OK;
    MFFramePtr frame;
    // A std::thread, not a QThread: only it can be let go while it still runs.
    std::thread worker;
};

FrameFetcher::FrameFetcher(std::shared_ptr<MFormats> source) : state(std::make_shared<State>()) {
    state->source = std::move(source);
    state->worker = std::thread(&FrameFetcher::serve, state);
}

FrameFetcher::~FrameFetcher() {
    bool stuck = false;
    {
        std::unique_lock<std::mutex> locker(state->lock);
        state->quit = true;
        state->changed.notify_all();
        stuck = !state->changed.wait_for(locker, kFetchGraceMs, [this] { return !state->fetching; });
    }
    if (!stuck) {
        state->worker.join();
        return;
    }
    qCritical() << "FrameFetcher: the capture source is still in a frame fetch; it is left to end on its own";
    state->worker.detach();
}

void FrameFetcher::serve(const std::shared_ptr<State> &shared) {
    // The thread's own reference: the state outlives a fetcher that let the thread go.
    const std::shared_ptr<State> state = shared;
    std::unique_lock<std::mutex> locker(state->lock);
    for (;;) {
        state->changed.wait(locker, [&state] { return state->quit || state->requested; });
        if (state->quit)
            break;
        state->requested = false;
        state->fetching = true;
        const MFFormat format = state->format;
        const std::shared_ptr<MFormats> source = state->source;
        locker.unlock();
        MFFramePtr frame;
        const int result =
            source ? source->SourceFrameConvertedGetByFormat(format, &frame, -1, QString()) : int(MF_E_NOTREADY);
        locker.lock();
        state->fetching = false;
        state->result = result;
        state->frame = std::move(frame);
        state->delivered = true;
        state->changed.notify_all();
    }
    // What the last fetch left, and the source, go on this thread: a fetcher that let it go no longer can.
    MFFramePtr frame = std::move(state->frame);
    std::shared_ptr<MFormats> source = std::move(state->source);
    locker.unlock();
}

int FrameFetcher::fetch(const MFFormat &format, MFFramePtr *frame, const std::atomic<bool> &keepGoing) {
    std::unique_lock<std::mutex> locker(state->lock);
    // A fetch given up earlier is still under way: its frame would be older than the one asked for now.
    while (state->fetching || state->requested) {
        if (!keepGoing.load())
            return kAbandoned;
        state->changed.wait_for(locker, kStopLookMs);
    }
    state->format = format;
    state->delivered = false;
    state->frame.reset();
    state->requested = true;
    state->changed.notify_all();
    // A Stop lets the frame under way arrive (the run writes it, as the last of the stream) unless it hangs.
    bool stopping = false;
    std::chrono::steady_clock::time_point giveUpAt;
    while (!state->delivered) {
        if (!keepGoing.load()) {
            const auto now = std::chrono::steady_clock::now();
            if (!stopping) {
                stopping = true;
                giveUpAt = now + kFetchGraceMs;
            } else if (now >= giveUpAt) {
                return kAbandoned;
            }
        }
        state->changed.wait_for(locker, kStopLookMs);
    }
    *frame = std::move(state->frame);
    return state->result;
}
