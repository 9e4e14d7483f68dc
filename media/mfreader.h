#pragma once

#include "imfsource.h"

#include <QString>

#include <memory>

// Reads a URL or file (anything FFmpeg opens), or an in-process sink as "mp://" + name, and delivers
// decoded frames.
class MFReader : public IMFSource {
public:
    MFReader();
    ~MFReader() override;
    MFReader(const MFReader &) = delete;
    MFReader &operator=(const MFReader &) = delete;

    static std::shared_ptr<MFReader> create();

    virtual int ReaderOpen(const QString &url, const QString &options);
    // The next decoded frame as the source has it.
    virtual int SourceFrameGet(int timeoutMs, MFFramePtr *frame, const QString &options);
    int SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs,
                                        const QString &options) override;
    // Ends a blocking read from another thread.
    virtual int ReaderInterrupt();
    virtual int ReaderClose();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
