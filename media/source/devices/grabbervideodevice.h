#pragma once

#include "capturethreadgate.h"
#include "mfdevicebackend.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class DeviceGrabber;

// What the video devices that read an FFmpeg input device (DeviceGrabber) on a thread of their own have in
// common: start() applies the properties, opens the grab once so that a failure is reported to the caller,
// then hands it to the capture thread; setProperty() asks that thread to reopen when a setting changed;
// stop() ends the thread cooperatively. A subclass calls stop() in its own destructor, since its run()
// uses its members.
class GrabberVideoDevice : public MFVideoDevice {
public:
    ~GrabberVideoDevice() override;

    int start(const MFDeviceProps &props) final;
    void stop() final;
    int setProperty(const QString &name, const QString &value) final;

protected:
    // logName starts the device's messages ("V4L2 capture"); retryMs paces the attempts after a failure.
    GrabberVideoDevice(const char *logName, int retryMs);

    // Applies one property to the settings the next open uses; false for a value that is not valid (the
    // settings stay). *changed tells whether the settings are now different. Called from start and
    // setProperty while the capture thread may run: guard the settings.
    virtual bool changeSetting(const QString &name, const QString &value, bool *changed) = 0;
    // Opens the grab on the current settings; negative with *error set on failure.
    virtual int openGrabber(DeviceGrabber *grabber, QString *error) = 0;
    // The capture loop; returns once gate.stopRequested().
    virtual void run(std::unique_ptr<DeviceGrabber> grabber) = 0;

    // True once after a setting changed: the loop opens the grab again.
    bool reopenRequested() { return reopen.exchange(false); }
    // After a failed open or read: one warning per streak of failures, no stale picture, then a pause
    // that a stop ends at once.
    void backOff(bool *failing, const QString &error);

    CaptureThreadGate gate;

private:
    const QByteArray name;
    const int retryMs;
    std::atomic<bool> reopen{false};
    std::thread worker; // touched only by start/stop, which the live source serialises
};
