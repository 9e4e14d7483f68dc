#pragma once

#include "imfreceiver.h"
#include "imfsource.h"

#include <QString>

#include <memory>

// A named in-process frame queue. One side puts frames, another reads them back by name
// ("mp://" + name through the live source or the reader). A full queue drops its oldest frame when the
// put has timeout 0.
class MFSink : public IMFReceiver, public IMFSource, public std::enable_shared_from_this<MFSink> {
public:
    MFSink();
    ~MFSink() override;
    MFSink(const MFSink &) = delete;
    MFSink &operator=(const MFSink &) = delete;

    static std::shared_ptr<MFSink> create();
    // The sink registered under the name, or nullptr.
    static std::shared_ptr<MFSink> findByName(const QString &name);

    // Registers the sink under the name; fails when the name is taken by another live sink.
    virtual int SinkInit(const QString &name, const QString &id, const QString &options);
    // Unregisters it and drops queued frames.
    virtual int SinkClean();

    int ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &options) override;
    int SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs,
                                        const QString &options) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
