#pragma once

// Reads decoded pictures from one of FFmpeg's input devices (x11grab, video4linux2). Used by the
// capture threads of the screen and camera backends; only code in media/source/devices includes it.

#include <QMap>
#include <QSize>
#include <QString>

#include <atomic>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class DeviceGrabber {
public:
    // Blocking reads end early once *abort becomes true (FFmpeg's interrupt callback polls it).
    explicit DeviceGrabber(const std::atomic<bool> *abort);
    ~DeviceGrabber();
    DeviceGrabber(const DeviceGrabber &) = delete;
    DeviceGrabber &operator=(const DeviceGrabber &) = delete;

    // Opens the input (closing a previous one) and its decoder. Options are the input device's private
    // options ("video_size", "framerate", "draw_mouse", "input_format" ...). nonBlocking: the device is read
    // without blocking in the driver (a capture card without signal would otherwise hold a read, and with it
    // a stop, for as long as the signal is missing). Negative with *error set on failure.
    int open(const char *formatName, const QString &url, const QMap<QString, QString> &options, QString *error,
             bool nonBlocking = false);
    // The next decoded picture into frame (unreferenced first). Negative with *error set when the input
    // failed or ended, MF_E_TIMEOUT when the abort flag ended the read.
    int next(AVFrame *frame, QString *error);
    void close();

    bool isOpen() const { return input != nullptr; }
    QSize size() const;
    double frameRate() const;

    // Registers FFmpeg's input devices; safe to call from any thread, registers once per process.
    static void registerDevices();
    static QString errorText(int averror);

private:
    static int interrupted(void *opaque);

    const std::atomic<bool> *abortFlag;
    AVFormatContext *input = nullptr;
    AVCodecContext *decoder = nullptr;
    AVPacket *packet = nullptr;
    int streamIndex = -1;
};
