#pragma once

// Scripted stand-ins for the media objects the capture thread drives, for behaviour no real device here can
// be made to show on demand (a source that fails exactly N times, a writer that refuses every frame).

#include "mformats.h"
#include "mfpreview.h"
#include "mfresult.h"
#include "mfwriter.h"

#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>

// What was drawn into frames, shared by the frames of one test.
struct PrintLog {
    struct Print {
        QString markup;
        double scale, x, y, width, height;
        int flags;
        QString attributes;
    };
    QMutex lock;
    QVector<Print> prints;
    QVector<Print> all() {
        QMutexLocker locker(&lock);
        return prints;
    }
};

class FakeFrame : public IMFFrame {
public:
    explicit FakeFrame(const MFFormat &format) : format(format) {}
    int MFFormatGet(MFFormat *out) const override {
        *out = format;
        return MF_OK;
    }
    int MFTimeGet(int64_t *start, int64_t *stop) const override {
        *start = 0;
        *stop = 0;
        return MF_OK;
    }
    int MFTimeSet(int64_t, int64_t) override { return MF_OK; }
    int MFObjGet(const QString &name, std::shared_ptr<IMFFrame> *object) const override {
        if (name != QLatin1String("_hdyc_w_mask_") || !mask)
            return MF_E_NOTFOUND;
        *object = mask;
        return MF_OK;
    }
    int MFObjSet(const QString &, const std::shared_ptr<IMFFrame> &object) override {
        mask = object;
        return MF_OK;
    }
    int MFPrint(const QString &markup, double scale, double x, double y, double width, double height, int flags,
                const QString &attributes) override {
        if (printLog) {
            QMutexLocker locker(&printLog->lock);
            printLog->prints.append({markup, scale, x, y, width, height, flags, attributes});
        }
        return MF_OK;
    }
    int MFPictureGet(uint8_t **, int *) override { return MF_E_UNSUPPORTED; }
    int MFAudioSamples() const override { return 0; }

    MFFormat format;
    std::shared_ptr<IMFFrame> mask;
    std::shared_ptr<PrintLog> printLog;
};

// A live source with a scripted device list and frame supply. Fetches pace themselves like a device would.
class ScriptedSource : public MFormats {
public:
    // The first failFirst fetches fail; later ones deliver frames of frameFormat.
    std::atomic<int> failFirst{0};
    std::atomic<bool> alwaysFail{false};
    MFFormat frameFormat;
    std::function<MFFramePtr()> makeFrame;
    int fetchPaceMs = 2;

    std::atomic<int> fetches{0};
    std::atomic<int> closes{0};

    mutable QMutex lock; // guards everything below: the GUI thread selects while the capture thread reads
    QMap<int, QStringList> devices;
    QMap<QString, QStringList> linesOf; // "line-in" options of a device, by device name
    QVector<QPair<int, int>> opened;    // (type, index) of every DeviceSet
    QVector<QPair<QString, QString>> propsSet;
    QVector<MFFormat> askedFormats;
    QStringList refusedProps; // PropsSet of these names fails

    int DeviceGetCount(int type, int *count) override {
        QMutexLocker locker(&lock);
        if (!devices.contains(type))
            return MF_E_NOTFOUND;
        *count = devices.value(type).size();
        return MF_OK;
    }
    int DeviceGetByIndex(int type, int index, QString *name) override {
        QMutexLocker locker(&lock);
        const QStringList names = devices.value(type);
        if (index < 0 || index >= names.size())
            return MF_E_INVALIDARG;
        *name = names.at(index);
        return MF_OK;
    }
    int DeviceSet(int type, int index, const QString &) override {
        QMutexLocker locker(&lock);
        opened.append({type, index});
        current = devices.value(type).value(index);
        return index >= 0 && index < devices.value(type).size() ? MF_OK : MF_E_INVALIDARG;
    }
    int DeviceGet(int, int *index, QString *) override {
        *index = -1;
        return MF_OK;
    }
    int DeviceClose() override {
        closes.fetch_add(1);
        return MF_OK;
    }
    int PropsSet(const QString &name, const QString &value) override {
        QMutexLocker locker(&lock);
        propsSet.append({name, value});
        return refusedProps.contains(name) ? MF_E_INVALIDARG : MF_OK;
    }
    int PropsGet(const QString &, QString *) override { return MF_E_NOTFOUND; }
    int PropsOptionGetCount(const QString &name, int *count) override {
        QMutexLocker locker(&lock);
        if (name != QLatin1String("line-in") || !linesOf.contains(current))
            return MF_E_NOTFOUND;
        *count = linesOf.value(current).size();
        return MF_OK;
    }
    int PropsOptionGetByIndex(const QString &, int index, QString *value, QString *description) override {
        QMutexLocker locker(&lock);
        *value = linesOf.value(current).value(index);
        description->clear();
        return MF_OK;
    }
    int PropsOptionSetByIndex(const QString &, int) override { return MF_OK; }

    int SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int, const QString &) override {
        {
            QMutexLocker locker(&lock);
            askedFormats.append(format);
        }
        const int n = fetches.fetch_add(1);
        QThread::msleep(static_cast<unsigned long>(fetchPaceMs));
        if (alwaysFail.load() || n < failFirst.load())
            return MF_E_FAIL;
        *frame = makeFrame ? makeFrame() : std::make_shared<FakeFrame>(frameFormat);
        return MF_OK;
    }

    QVector<QPair<int, int>> openedDevices() const {
        QMutexLocker locker(&lock);
        return opened;
    }
    QString propValue(const QString &name) const {
        QMutexLocker locker(&lock);
        for (int i = propsSet.size() - 1; i >= 0; --i)
            if (propsSet.at(i).first == name)
                return propsSet.at(i).second;
        return QStringLiteral("<unset>");
    }
    MFFormat lastAskedFormat() const {
        QMutexLocker locker(&lock);
        return askedFormats.isEmpty() ? MFFormat() : askedFormats.last();
    }

private:
    QString current;
};

class RecordingWriter : public MFWriter {
public:
    std::atomic<bool> refuseFrames{false};
    std::atomic<int> accepted{0};
    std::atomic<int> refused{0};
    std::atomic<IMFFrame *> lastFrame{nullptr};

    mutable QMutex lock;
    QString url;
    QString options;
    int mode = 0;
    int configureResult = MF_OK;
    std::atomic<int> configures{0};
    std::atomic<int> closes{0};
    std::atomic<int> acceptedAtClose{-1}; // frames accepted when the writer was last closed

    int WriterSet(const QString &newUrl, int newMode, const QString &newOptions) override {
        configures.fetch_add(1);
        QMutexLocker locker(&lock);
        url = newUrl;
        mode = newMode;
        options = newOptions;
        return configureResult;
    }
    int ReceiverFramePut(const MFFramePtr &frame, int, const QString &) override {
        lastFrame.store(frame.get());
        if (refuseFrames.load()) {
            refused.fetch_add(1);
            return MF_E_FAIL;
        }
        accepted.fetch_add(1);
        return MF_OK;
    }
    int WriterClose() override {
        acceptedAtClose.store(accepted.load());
        closes.fetch_add(1);
        return MF_OK;
    }
    QString lastOptions() const {
        QMutexLocker locker(&lock);
        return options;
    }
    QString lastUrl() const {
        QMutexLocker locker(&lock);
        return url;
    }
};

class CountingPreview : public MFPreview {
public:
    std::atomic<int> frames{0};
    std::atomic<uint64_t> window{0};
    std::atomic<int> enabled{0};
    std::atomic<int> gainCalls{0};
    double lastGain = 1.0;

    int PreviewEnable(const QString &, int, int) override {
        enabled.fetch_add(1);
        return MF_OK;
    }
    int PreviewWindowSet(const QString &, uint64_t nativeWindow) override {
        window.store(nativeWindow);
        return MF_OK;
    }
    int PreviewAudioVolumeSet(const QString &, int, double gainDb) override {
        gainCalls.fetch_add(1);
        lastGain = gainDb;
        return MF_OK;
    }
    int ReceiverFramePut(const MFFramePtr &, int, const QString &) override {
        frames.fetch_add(1);
        return MF_OK;
    }
};
