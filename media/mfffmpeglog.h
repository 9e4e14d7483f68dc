#pragma once

// Sends FFmpeg's log lines (warnings and errors) to Qt's diagnostic stream, prefixed "FFmpeg:". Installs
// the callback once per process; every part of the media layer that uses FFmpeg may call it.
void mfInstallFfmpegLog();

// While set on a thread, FFmpeg's lines from that thread are dropped (for expected failures, such as
// probing encoders whose hardware is absent). Other threads keep logging.
void mfFfmpegLogQuiet(bool quiet);
