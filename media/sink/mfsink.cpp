#include "mfsink.h"

#include "mffactory.h"
#include "mfresult.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>

#include <atomic>
#include <deque>

namespace {

// Every sink of the process by name. One lock for the whole list; sinks are held weakly so that a sink
// nobody owns any more disappears from the list by itself.
struct Registry {
    QMutex lock;
    QHash<QString, std::weak_ptr<MFSink>> sinks;
};

Registry &registry() {
    static Registry instance;
    return instance;
}

bool isAllZero(const MFFormat &format) {
    return !format.videoFormat && !format.colorFormat && !format.width && !format.height && !format.interlace &&
           !format.aspectX && !format.aspectY && format.frameRate <= 0 && !format.channels && !format.sampleRate &&
           !format.bitsPerSample;
}

QDeadlineTimer deadlineFor(int timeoutMs) {
    return QDeadlineTimer(timeoutMs < 0 ? MFSink::MAX_WAIT_MS : timeoutMs);
}

} // namespace

struct MFSink::Impl {
    mutable QMutex lock; // guards queue and name; the registry lock is never taken while holding it
    QWaitCondition notEmpty;
    QWaitCondition notFull;
    std::deque<MFFramePtr> queue;
    QString name;
    std::atomic<int> dropped{0};
    MFFactory converter; // its own lock; used outside ours so that a put never waits for a conversion
};

MFSink::MFSink() : d(std::make_unique<Impl>()) {}

MFSink::~MFSink() {
    const QString name = d->name;
    if (name.isEmpty())
        return;
    Registry &reg = registry();
    QMutexLocker lock(&reg.lock);
    auto found = reg.sinks.find(name);
    // Our own entry has already expired (we are being destroyed); another live sink's entry stays.
    if (found != reg.sinks.end() && found.value().expired())
        reg.sinks.erase(found);
}

std::shared_ptr<MFSink> MFSink::create() {
    return std::make_shared<MFSink>();
}

std::shared_ptr<MFSink> MFSink::findByName(const QString &name) {
    Registry &reg = registry();
    QMutexLocker lock(&reg.lock);
    return reg.sinks.value(name).lock();
}

QStringList MFSink::names() {
    Registry &reg = registry();
    QStringList list;
    {
        QMutexLocker lock(&reg.lock);
        for (auto it = reg.sinks.cbegin(); it != reg.sinks.cend(); ++it)
            if (!it.value().expired())
                list.append(it.key());
    }
    list.sort();
    return list;
}

int MFSink::SinkInit(const QString &name, const QString &, const QString &) {
    if (name.isEmpty())
        return MF_E_INVALIDARG;
    std::weak_ptr<MFSink> self = weak_from_this();
    if (self.expired()) {
        qWarning() << "MFSink: a sink must be created with MFSink::create to be registered";
        return MF_E_FAIL;
    }
    Registry &reg = registry();
    QString previous;
    {
        QMutexLocker lock(&reg.lock);
        auto found = reg.sinks.find(name);
        if (found != reg.sinks.end()) {
            std::shared_ptr<MFSink> holder = found.value().lock();
            if (holder.get() == this)
                return MF_OK;
            if (holder) {
                qWarning() << "MFSink: the name" << name << "is taken by another sink";
                return MF_E_INVALIDARG;
            }
        }
        previous = this->name();
        if (!previous.isEmpty() && previous != name)
            reg.sinks.remove(previous);
        reg.sinks.insert(name, self);
    }
    QMutexLocker lock(&d->lock);
    d->name = name;
    return MF_OK;
}

int MFSink::SinkClean() {
    const QString current = name();
    if (!current.isEmpty()) {
        Registry &reg = registry();
        QMutexLocker lock(&reg.lock);
        auto found = reg.sinks.find(current);
        if (found != reg.sinks.end() && found.value().lock().get() == this)
            reg.sinks.erase(found);
    }
    QMutexLocker lock(&d->lock);
    d->name.clear();
    d->queue.clear();
    d->notFull.wakeAll();
    return MF_OK;
}

int MFSink::ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &) {
    if (!frame)
        return MF_E_INVALIDARG;
    MFFramePtr droppedFrame; // released after unlocking: a frame's destructor frees large buffers
    {
        QMutexLocker lock(&d->lock);
        if (int(d->queue.size()) >= QUEUE_CAPACITY) {
            if (timeoutMs == 0) {
                droppedFrame = std::move(d->queue.front());
                d->queue.pop_front();
                d->dropped.fetch_add(1, std::memory_order_relaxed);
            } else {
                const QDeadlineTimer deadline = deadlineFor(timeoutMs);
                while (int(d->queue.size()) >= QUEUE_CAPACITY)
                    if (!d->notFull.wait(&d->lock, deadline))
                        break;
                if (int(d->queue.size()) >= QUEUE_CAPACITY)
                    return MF_E_TIMEOUT;
            }
        }
        d->queue.push_back(frame);
        d->notEmpty.wakeOne();
    }
    return MF_OK;
}

int MFSink::SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs, const QString &) {
    if (!frame)
        return MF_E_INVALIDARG;
    frame->reset();
    MFFramePtr taken;
    {
        QMutexLocker lock(&d->lock);
        if (d->queue.empty()) {
            if (timeoutMs == 0)
                return MF_FALSE;
            const QDeadlineTimer deadline = deadlineFor(timeoutMs);
            while (d->queue.empty())
                if (!d->notEmpty.wait(&d->lock, deadline))
                    break;
            if (d->queue.empty())
                return MF_E_TIMEOUT;
        }
        taken = std::move(d->queue.front());
        d->queue.pop_front();
        d->notFull.wakeOne();
    }
    if (isAllZero(format)) {
        *frame = std::move(taken);
        return MF_OK;
    }
    return d->converter.MFFrameConvert(taken, format, frame);
}

int MFSink::droppedFrames() const {
    return d->dropped.load(std::memory_order_relaxed);
}

QString MFSink::name() const {
    QMutexLocker lock(&d->lock);
    return d->name;
}
