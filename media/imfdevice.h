#pragma once

#include <QString>

// Device types of the live source and the renderer.
enum MFDeviceType : int {
    eMFDT_Video = 0,
    eMFDT_Audio = 1,    // internal audio: audio of the video device
    eMFDT_ExtAudio = 2, // external audio: a sound card
    eMFDT_Sink = 18     // an in-process sink, "mp://" + name
};

// The video device that captures the screen. The main window opens it for every desktop entry and the live
// source's display choice picks the monitor; it is never listed as a device of its own.
inline constexpr char kMFScreenCaptureDevice[] = "X11 Screen Capture";

// A list of devices per type, one of which is opened at a time per type.
class IMFDevice {
public:
    virtual ~IMFDevice() = default;
    virtual int DeviceGetCount(int type, int *count) = 0;
    virtual int DeviceGetByIndex(int type, int index, QString *name) = 0;
    // Opens entry index of the type; options as "key=value" pairs separated by blanks, or empty.
    virtual int DeviceSet(int type, int index, const QString &options) = 0;
    // The open entry of the type, -1 when none.
    virtual int DeviceGet(int type, int *index, QString *name) = 0;
    virtual int DeviceClose() = 0;
};
