#include "mfrenderer.h"

#include "mfresult.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

// No output card or NDI runtime exists here, so the device list is empty. Properties are kept so that a
// caller's configuration (the NDI stream name as "line-out", for instance) reads back as it was set.
struct MFRenderer::Impl {
    QMutex lock; // guards props
    QHash<QString, QString> props;
};

namespace {
bool knownType(int type) {
    return type == eMFDT_Video || type == eMFDT_Audio || type == eMFDT_ExtAudio || type == eMFDT_Sink;
}
} // namespace

MFRenderer::MFRenderer() : d(std::make_unique<Impl>()) {}

MFRenderer::~MFRenderer() = default;

std::shared_ptr<MFRenderer> MFRenderer::create() {
    return std::make_shared<MFRenderer>();
}

int MFRenderer::DeviceGetCount(int type, int *count) {
    if (!count || !knownType(type))
        return MF_E_INVALIDARG;
    *count = 0;
    return MF_OK;
}

int MFRenderer::DeviceGetByIndex(int type, int, QString *name) {
    if (!knownType(type))
        return MF_E_INVALIDARG;
    if (name)
        name->clear();
    return MF_E_NOTFOUND;
}

int MFRenderer::DeviceSet(int type, int, const QString &) {
    return knownType(type) ? MF_E_NOTFOUND : MF_E_INVALIDARG;
}

int MFRenderer::DeviceGet(int type, int *index, QString *name) {
    if (!knownType(type))
        return MF_E_INVALIDARG;
    if (index)
        *index = -1;
    if (name)
        name->clear();
    return MF_FALSE;
}

int MFRenderer::DeviceClose() {
    return MF_OK;
}

int MFRenderer::PropsSet(const QString &name, const QString &value) {
    if (name.isEmpty())
        return MF_E_INVALIDARG;
    QMutexLocker lock(&d->lock);
    d->props.insert(name, value);
    return MF_OK;
}

int MFRenderer::PropsGet(const QString &name, QString *value) {
    QMutexLocker lock(&d->lock);
    auto found = d->props.constFind(name);
    if (found == d->props.constEnd())
        return MF_E_NOTFOUND;
    if (value)
        *value = found.value();
    return MF_OK;
}

// Options (the lines of an output card) exist only with a device.
int MFRenderer::PropsOptionGetCount(const QString &, int *count) {
    if (!count)
        return MF_E_INVALIDARG;
    *count = 0;
    return MF_OK;
}

int MFRenderer::PropsOptionGetByIndex(const QString &, int, QString *value, QString *description) {
    if (value)
        value->clear();
    if (description)
        description->clear();
    return MF_E_NOTFOUND;
}

int MFRenderer::PropsOptionSetByIndex(const QString &, int) {
    return MF_E_NOTFOUND;
}

int MFRenderer::ReceiverFramePut(const MFFramePtr &frame, int, const QString &) {
    return frame ? MF_E_NOTREADY : MF_E_INVALIDARG;
}
