#pragma once

#include <QString>

#include <functional>

// Our SRT relay and srt-live-transmit carrying the same live stream at the same time, each through its own
// impairing proxy (the same loss each way and delay) to its own srt-live-transmit listener, for the loss test and
// the loss sweep. Both are fed by ffmpeg reading one file at its own pace and remuxing it as an encoder does:
// ours over TCP with a write per muxed packet (as the program's writer does), the reference over UDP in datagrams
// of at most 1316 bytes (how srt-live-transmit is fed). What each listener wrote is checked for continuity.
//
//   ffmpeg --TCP--> our relay ---------------SRT--> proxy --> srt-live-transmit (listener) --> file
//   ffmpeg --UDP--> srt-live-transmit (caller) --SRT--> proxy --> srt-live-transmit (listener) --> file
namespace srtsidebyside {

struct Side {
    bool ran = false;
    qint64 packets = 0;
    qint64 continuityErrors = 0;
    // The packets the counter jumps imply were lost.
    qint64 missing = 0;
    // The receiving library's own figures: SRT packets received, found missing, and given up on (-1: unknown).
    qint64 srtPackets = -1;
    qint64 srtLost = -1;
    qint64 srtDropped = -1;
    double errorsPer10k() const { return packets ? 1e4 * double(continuityErrors) / double(packets) : 0; }
};

struct Result {
    Side ours;
    Side reference;
    QString error;
    bool ok() const { return error.isEmpty(); }
};

struct Options {
    // A transport stream from makeFeed (or any other): both sides send it once, at its own pace.
    QString feed;
    int feedSeconds = 0;
    int lossPercent = 0;
    int delayEachWayMs = 20;
    int latencyMs = 200;
    int seed = 1;
    // Starts our relay toward 127.0.0.1:serverPort (the proxy) and returns the loopback TCP port it listens on
    // for the encoder, 0 on failure.
    std::function<quint16(quint16 serverPort)> startOurs;
    // Ends our relay once the stream is over.
    std::function<void()> stopOurs;
};

// A live-like x264 stream of about videoKbps (a 1280x720 test picture with motion and sound) for the given time.
bool makeFeed(const QString &path, int seconds, int videoKbps);

Result run(const Options &options);

} // namespace srtsidebyside
