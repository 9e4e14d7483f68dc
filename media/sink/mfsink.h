#pragma once

#include "imfreceiver.h"
#include "imfsource.h"

#include <QString>
#include <QStringList>

#include <memory>

// A named in-process frame queue. One side puts frames, another reads them back by name
// ("mp://" + name through the live source or the reader). A full queue drops its oldest frame when the
// put has timeout 0.
class MFSink : public IMFReceiver, public IMFSource, public std::enable_shared_from_this<MFSink> {
public:
    // Frames a sink holds before a put drops (timeout 0) or waits (timeout -1).
    static constexpr int QUEUE_CAPACITY = 4;
    // Longest wait of a put or a get with timeout -1, so that a caller's stop flag is seen.
    static constexpr int MAX_WAIT_MS = 1000;

    MFSink();
    ~MFSink() override;
    MFSink(const MFSink &) = delete;
    MFSink &operator=(const MFSink &) = delete;

    static std::shared_ptr<MFSink> create();
    // The sink registered under the name, or nullptr.
    static std::shared_ptr<MFSink> findByName(const QString &name);
    // The names of the live sinks, sorted.
    static QStringList names();

    // Registers the sink under the name; fails when the name is taken by another live sink.
    virtual int SinkInit(const QString &name, const QString &id, const QString &options);
    // Unregisters it and drops queued frames.
    virtual int SinkClean();

    // timeoutMs 0 drops the oldest queued frame when full; -1 waits up to MAX_WAIT_MS for room, a positive
    // value that long, and then fails with MF_E_TIMEOUT without taking the frame.
    int ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &options) override;
    // The oldest queued frame, converted to the format. timeoutMs 0 gives MF_FALSE at once when the queue
    // is empty; -1 waits up to MAX_WAIT_MS, a positive value that long, then MF_E_TIMEOUT.
    int SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs,
                                        const QString &options) override;

    // Frames dropped because the queue was full, since creation.
    int droppedFrames() const;
    // The name it is registered under, empty when none.
    QString name() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
