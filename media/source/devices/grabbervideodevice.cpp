#include "grabbervideodevice.h"

#include "devicegrabber.h"

#include <QDebug>

GrabberVideoDevice::GrabberVideoDevice(const char *logName, int retry) : name(logName), retryMs(retry) {}

GrabberVideoDevice::~GrabberVideoDevice() {
    stop();
}

int GrabberVideoDevice::start(const MFDeviceProps &props) {
    stop();
    for (auto it = props.constBegin(); it != props.constEnd(); ++it) {
        bool changed = false;
        if (!changeSetting(it.key(), it.value(), &changed))
            qWarning() << (name + ": ignoring").constData() << it.key() << "=" << it.value();
    }
    gate.reset();
    reopen.store(false);
    auto grabber = std::make_unique<DeviceGrabber>(gate.flag());
    QString error;
    const int result = openGrabber(grabber.get(), &error);
    if (MF_FAILED(result)) {
        qWarning() << (name + " cannot start:").constData() << error;
        return result;
    }
    worker = std::thread(&GrabberVideoDevice::run, this, std::move(grabber));
    return MF_OK;
}

void GrabberVideoDevice::stop() {
    gate.stop();
    if (worker.joinable())
        worker.join();
}

int GrabberVideoDevice::setProperty(const QString &property, const QString &value) {
    bool changed = false;
    if (!changeSetting(property, value, &changed))
        return MF_E_INVALIDARG;
    if (changed)
        reopen.store(true);
    return MF_OK;
}

void GrabberVideoDevice::backOff(bool *failing, const QString &error) {
    if (!*failing)
        qWarning() << (name + " failed:").constData() << error;
    *failing = true;
    slot.clear();
    gate.pause(retryMs);
}
