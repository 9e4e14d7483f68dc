#pragma once

// A stream with real parts, started and stopped in the order the main window uses: an srt-live-transmit server
// that writes what it receives to a file, the SRT relay towards it, and the capture thread encoding with x264
// into the relay's loopback port. Each step is bounded and says what went wrong.

#include "capturestreamer.h"
#include "logsdlg.h"
#include "peerprocess.h"
#include "resender.h"
#include "testkit.h"
#include "writeroffers.h"

#include <QTest>

namespace srtcapture {

constexpr int kWaitMs = 15000;

// What this machine lacks for such a run; empty when it has everything.
inline QString missing() {
    if (!testkit::haveProgram("srt-live-transmit") || !testkit::haveProgram("ffprobe") ||
        !testkit::haveProgram("ffmpeg"))
        return QStringLiteral("srt-live-transmit (srt-tools), ffmpeg and ffprobe are needed");
    return writerOffers(QStringLiteral("q264sw")) ? QString() : QStringLiteral("the writer offers no x264 encoder");
}

// A fresh server writing to output, then the relay towards it: true once the relay has connected and listens for
// the encoder. The relay's lines are those the log window got since this call.
inline bool startRelay(PeerProcess &server, RESender &relay, const LogsDlg &logs, const QString &streamId,
                       const QString &output, QString *why) {
    const quint16 port = testkit::freePort(true);
    if (!startSrtFileServer(server, port, output)) {
        *why = QStringLiteral("srt-live-transmit did not start listening: ") + server.output();
        return false;
    }
    const int logStart = testkit::logText(logs).size();
    relay.startRetransmit(QStringLiteral("127.0.0.1"), QString(), port, streamId, 120, QString(), 16, false);
    const bool up = testkit::waitUntil(
        [&] {
            return relay.listenPort.load() > 0 && testkit::logText(logs).mid(logStart).contains("CONNECT: SUCCESS");
        },
        kWaitMs);
    *why = testkit::logText(logs).mid(logStart);
    return up;
}

// The capture of the device with its own sound into the relay's port, at the size (empty: the source's) and rate
// (0: the source's).
inline bool startCapture(CaptureStreamer &capture, const RESender &relay, const QString &device, QSize size,
                         int videoKbps, int frameRate) {
    if (!capture.setDevices(device, QStringLiteral("ORIGINAL")))
        return false;
    capture.setOutputParams(size, videoKbps, 128);
    return capture.startCapture(relay.listenPort.load(), frameRate, 3, 1, QStringLiteral("q264sw"), QString(),
                                QString(), 48000);
}

// Streams until the capture has written this many frames, then stops as the main window does: the capture first,
// a moment for the relay to pass on what the writer flushed at its end, then the relay.
inline bool streamAndStop(CaptureStreamer &capture, RESender &relay, uint64_t frames, QString *why) {
    const bool written = testkit::waitUntil([&] { return capture.framesWritten.load() >= frames; }, kWaitMs);
    *why = QStringLiteral("frames %1, capture errors %2, write errors %3")
               .arg(capture.framesWritten.load())
               .arg(capture.captureErrors.load())
               .arg(capture.writeErrors.load());
    capture.stopCapture();
    const bool stopped = capture.wait(kWaitMs);
    QTest::qWait(500);
    relay.stopRetransmit();
    return relay.wait(kWaitMs) && stopped && written;
}

} // namespace srtcapture
