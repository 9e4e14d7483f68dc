#pragma once

#include "imfprops.h"
#include "imfsource.h"

#include <QString>

#include <functional>
#include <memory>

// Reads a URL or file (anything FFmpeg opens), or an in-process sink as "mp://" + name, and delivers
// decoded frames: each video frame carries the audio decoded since the previous one.
//
// Every frame request is bounded: with timeout -1 a stalled network source gives up after
// STALL_TIMEOUT_MS (a sink after MFSink::MAX_WAIT_MS), so that a caller's stop flag is seen; the reader
// then carries on with the next request. ReaderInterrupt ends a blocked open or read at once.
//
// Property "audio_gain": comma-separated gains in dB for channels 1, 2, ... ("0.0" plays, "-100.0" or
// lower mutes), applied to the audio of decoded frames.
class MFReader : public IMFSource, public IMFProps {
public:
    static constexpr int OPEN_TIMEOUT_MS = 15000;
    static constexpr int STALL_TIMEOUT_MS = 3000;

    MFReader();
    ~MFReader() override;
    MFReader(const MFReader &) = delete;
    MFReader &operator=(const MFReader &) = delete;

    static std::shared_ptr<MFReader> create();

    // Options: blank-separated key=value pairs; "network.low_delay=true" opens for low delay; other
    // "network." keys are accepted; unknown keys are logged and ignored.
    virtual int ReaderOpen(const QString &url, const QString &options);
    // The next decoded frame as the source has it. A sink honours timeoutMs as it stands; a file or URL
    // cannot be read without waiting, so there 0 and -1 both wait up to STALL_TIMEOUT_MS and a positive
    // value bounds the wait. MF_E_TIMEOUT when nothing came in time (the next request goes on reading);
    // MF_E_FAIL at the end of the input, after an interrupt, or on a read error.
    virtual int SourceFrameGet(int timeoutMs, MFFramePtr *frame, const QString &options);
    int SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs,
                                        const QString &options) override;
    // Ends a blocking open or read from another thread; later reads fail until the next open.
    virtual int ReaderInterrupt();
    // A condition of the caller's, asked as often as the interrupt flag (every few ms) by open and read;
    // while it holds they fail as after an interrupt. Race-free where an interrupt is not: one sent just
    // before an open is reset by that open. Must be cheap and callable from the reading thread.
    virtual int ReaderStopCheckSet(std::function<bool()> check);
    virtual int ReaderClose();

    int PropsSet(const QString &name, const QString &value) override;
    int PropsGet(const QString &name, QString *value) override;
    int PropsOptionGetCount(const QString &name, int *count) override;
    int PropsOptionGetByIndex(const QString &name, int index, QString *value, QString *description) override;
    int PropsOptionSetByIndex(const QString &name, int index) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
