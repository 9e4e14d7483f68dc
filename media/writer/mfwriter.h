#pragma once

#include "imfreceiver.h"

#include <QString>

#include <memory>

// Encodes frames and muxes them into a container written to a URL ("tcp://127.0.0.1:<port>") or a file.
// Configured by an option text of key='value' pairs (format, video::codec, video::b, audio::codec, ...).
// Thread safety: frames may be put from one thread while another reconfigures, closes or destroys the
// writer; a write stuck on a peer that stopped reading is then interrupted.
class MFWriter : public IMFReceiver {
public:
    // Kinds of the codec and container listing.
    enum Kind { Container = 0, VideoCodec = 1, AudioCodec = 2 };

    MFWriter();
    ~MFWriter() override;
    MFWriter(const MFWriter &) = delete;
    MFWriter &operator=(const MFWriter &) = delete;

    static std::shared_ptr<MFWriter> create();

    // Closes any previous output and takes the new configuration; the output opens with the first frame.
    // Fails for an option text that cannot be parsed; unknown keys are logged and ignored.
    virtual int WriterSet(const QString &url, int mode, const QString &options);
    // Flushes the encoders and closes the output.
    virtual int WriterClose();

    virtual int WriterOptionGetCount(int kind, int *count);
    virtual int WriterOptionGetByIndex(int kind, int index, QString *name, QString *description);
    // Selects the container by name (kind 0).
    virtual int WriterOptionSet(int kind, const QString &name);

    // Asks for a new video bitrate (kbit/s) from the next frame on, in the running stream: no new header, no
    // restart. Any thread. Fails for an encoder that cannot; the stream then keeps its rate.
    virtual int WriterSetVideoBitrate(int kbps);
    // Whether the codec id's encoder, with this rate control ("auto", "vbr", "cbr" ...), can change its bitrate
    // that way in this build.
    static bool changesVideoBitrateInPlace(const QString &codecId, const QString &rcType = QString());

    // Encodes the frame; fails when the output or an encoder cannot be opened or the write fails.
    int ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &options) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
