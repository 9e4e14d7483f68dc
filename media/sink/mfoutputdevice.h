#pragma once

// The outputs behind the renderer (MFRenderer): each provider lists the outputs present now by the name
// the operator sees and opens one of them. The NDI sender is built in (only with an NDI runtime); the
// screens are a provider of the widget part of the media layer (media/preview/), registered by whoever
// shows windows.
//
// Threads: list() and open() are called on the thread that calls the renderer's device operations (the
// GUI thread in the player); put() on the thread that hands frames over; setProperty() and the destructor
// on either. An output ends when it is destroyed, from whichever thread.

#include "imfframe.h"
#include "mfresult.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>

// Properties the renderer hands an output: "line-out" (the NDI stream's name, or the description of the
// chosen sound output) and "audio.sink" (the sound server's name of that output; empty: its default).
using MFOutputProps = QMap<QString, QString>;

class MFOutputDevice {
public:
    virtual ~MFOutputDevice() = default;
    // A property set on the renderer while this output is open. Negative refuses the value.
    virtual int setProperty(const QString &name, const QString &value) {
        (void)name;
        (void)value;
        return MF_OK;
    }
    // Takes a frame; waits at most timeoutMs (-1: the output's own short bound). MF_E_NOTFOUND once the
    // output has gone by itself (its screen was unplugged).
    virtual int put(const MFFramePtr &frame, int timeoutMs) = 0;
    // False once the output has gone by itself.
    virtual bool alive() const { return true; }
};

class MFOutputProvider {
public:
    virtual ~MFOutputProvider() = default;
    virtual QString providerName() const = 0;
    // The outputs present now.
    virtual QStringList list() = 0;
    // An open output for a name this provider listed; nullptr when it cannot be had.
    virtual std::unique_ptr<MFOutputDevice> open(const QString &name, const MFOutputProps &props) = 0;
};

using MFOutputProviderPtr = std::shared_ptr<MFOutputProvider>;

// The process-wide list of output providers (one lock); the built-in NDI sender comes first.
class MFOutputRegistry {
public:
    static void add(const MFOutputProviderPtr &provider);
    static void remove(const MFOutputProviderPtr &provider);
    static QList<MFOutputProviderPtr> providers();
};
