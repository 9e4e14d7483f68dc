#include "mfrenderer.h"

#include "mfoutputdevice.h"
#include "mfresult.h"
#include "mfsoundoutputs.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHash>

#include <mutex>

namespace {

const QString kLineOut = QStringLiteral("line-out");
const QString kAudioSink = QStringLiteral("audio.sink");

struct Listed {
    QString name;
    MFOutputProviderPtr provider;
};

bool knownType(int type) {
    return type == eMFDT_Video || type == eMFDT_Audio || type == eMFDT_ExtAudio || type == eMFDT_Sink;
}

} // namespace

struct MFRenderer::Impl {
    std::mutex lock; // guards everything below; never held while an output is opened, fed or closed
    QHash<QString, QString> props;
    QList<Listed> listed;
    QList<MFSoundOutput> soundOutputs;
    QElapsedTimer soundOutputsAge;
    std::shared_ptr<MFOutputDevice> output;
    int openIndex = -1;
    QString openName;

    QList<Listed> list() {
        QList<Listed> fresh;
        for (const MFOutputProviderPtr &provider : MFOutputRegistry::providers())
            for (const QString &name : provider->list())
                fresh.append(Listed{name, provider});
        return fresh;
    }
    // The sound outputs, asked anew once the last listing is no longer fresh. Called without the lock.
    QList<MFSoundOutput> sounds() {
        {
            std::lock_guard<std::mutex> locker(lock);
            if (soundOutputsAge.isValid() && soundOutputsAge.elapsed() < SOUND_OUTPUTS_FRESH_MS)
                return soundOutputs;
        }
        QList<MFSoundOutput> fresh = mfListSoundOutputs(SOUND_OUTPUTS_TIMEOUT_MS);
        std::lock_guard<std::mutex> locker(lock);
        soundOutputs = fresh;
        soundOutputsAge.start();
        return fresh;
    }
};

MFRenderer::MFRenderer() : d(std::make_unique<Impl>()) {}

MFRenderer::~MFRenderer() = default;

std::shared_ptr<MFRenderer> MFRenderer::create() {
    return std::make_shared<MFRenderer>();
}

int MFRenderer::DeviceGetCount(int type, int *count) {
    if (!count || !knownType(type))
        return MF_E_INVALIDARG;
    if (type != eMFDT_Video) {
        *count = 0;
        return MF_OK;
    }
    QList<Listed> fresh = d->list();
    std::lock_guard<std::mutex> locker(d->lock);
    d->listed = fresh;
    *count = fresh.size();
    return MF_OK;
}

int MFRenderer::DeviceGetByIndex(int type, int index, QString *name) {
    if (!knownType(type))
        return MF_E_INVALIDARG;
    if (name)
        name->clear();
    std::lock_guard<std::mutex> locker(d->lock);
    if (type != eMFDT_Video || index < 0 || index >= d->listed.size())
        return MF_E_NOTFOUND;
    if (name)
        *name = d->listed.at(index).name;
    return MF_OK;
}

int MFRenderer::DeviceSet(int type, int index, const QString &) {
    if (!knownType(type))
        return MF_E_INVALIDARG;
    Listed chosen;
    MFOutputProps props;
    {
        std::lock_guard<std::mutex> locker(d->lock);
        if (type != eMFDT_Video || index < 0 || index >= d->listed.size())
            return MF_E_NOTFOUND;
        chosen = d->listed.at(index);
        // A newly opened output plays its sound on the default output until a line is chosen for it.
        d->props.remove(kAudioSink);
        for (auto it = d->props.cbegin(); it != d->props.cend(); ++it)
            props.insert(it.key(), it.value());
    }
    // The previous output ends before the next opens: a screen shows one output window at a time.
    DeviceClose();
    std::unique_ptr<MFOutputDevice> opened = chosen.provider->open(chosen.name, props);
    if (!opened) {
        qWarning() << "renderer: cannot open" << chosen.name;
        return MF_E_FAIL;
    }
    std::lock_guard<std::mutex> locker(d->lock);
    d->output = std::move(opened);
    d->openIndex = index;
    d->openName = chosen.name;
    return MF_OK;
}

int MFRenderer::DeviceGet(int type, int *index, QString *name) {
    if (!knownType(type))
        return MF_E_INVALIDARG;
    std::lock_guard<std::mutex> locker(d->lock);
    const bool open = type == eMFDT_Video && d->output && d->output->alive();
    if (index)
        *index = open ? d->openIndex : -1;
    if (name)
        *name = open ? d->openName : QString();
    return open ? MF_OK : MF_FALSE;
}

int MFRenderer::DeviceClose() {
    std::shared_ptr<MFOutputDevice> closing;
    {
        std::lock_guard<std::mutex> locker(d->lock);
        closing.swap(d->output);
        d->openIndex = -1;
        d->openName.clear();
    }
    // Released outside the lock; a put still holding the output ends it when it returns.
    closing.reset();
    return MF_OK;
}

int MFRenderer::PropsSet(const QString &name, const QString &value) {
    if (name.isEmpty())
        return MF_E_INVALIDARG;
    std::shared_ptr<MFOutputDevice> output;
    {
        std::lock_guard<std::mutex> locker(d->lock);
        d->props.insert(name, value);
        output = d->output;
    }
    return output ? output->setProperty(name, value) : int(MF_OK);
}

int MFRenderer::PropsGet(const QString &name, QString *value) {
    std::lock_guard<std::mutex> locker(d->lock);
    auto found = d->props.constFind(name);
    if (found == d->props.constEnd())
        return MF_E_NOTFOUND;
    if (value)
        *value = found.value();
    return MF_OK;
}

int MFRenderer::PropsOptionGetCount(const QString &name, int *count) {
    if (!count)
        return MF_E_INVALIDARG;
    *count = name == kLineOut ? d->sounds().size() : 0;
    return MF_OK;
}

int MFRenderer::PropsOptionGetByIndex(const QString &name, int index, QString *value, QString *description) {
    if (value)
        value->clear();
    if (description)
        description->clear();
    if (name != kLineOut)
        return MF_E_NOTFOUND;
    const QList<MFSoundOutput> sounds = d->sounds();
    if (index < 0 || index >= sounds.size())
        return MF_E_INVALIDARG;
    if (value)
        *value = sounds.at(index).description;
    if (description)
        *description = sounds.at(index).name;
    return MF_OK;
}

int MFRenderer::PropsOptionSetByIndex(const QString &name, int index) {
    if (name != kLineOut)
        return MF_E_NOTFOUND;
    const QList<MFSoundOutput> sounds = d->sounds();
    if (index < 0 || index >= sounds.size())
        return MF_E_INVALIDARG;
    const int result = PropsSet(kAudioSink, sounds.at(index).name);
    return MF_FAILED(result) ? result : PropsSet(kLineOut, sounds.at(index).description);
}

int MFRenderer::ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &) {
    if (!frame)
        return MF_E_INVALIDARG;
    std::shared_ptr<MFOutputDevice> output;
    {
        std::lock_guard<std::mutex> locker(d->lock);
        output = d->output;
    }
    if (!output)
        return MF_E_NOTREADY;
    return output->put(frame, timeoutMs);
}
