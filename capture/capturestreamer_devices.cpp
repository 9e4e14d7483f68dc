// Device listing and selection of the capture thread's live source.
#include "capturestreamer.h"

#include "imfdevice.h"
#include "logsdlg.h"
#include "mformats.h"
#include "mfresult.h"
#include "setmfdevice.h"
#include "sldcardsource2.h"

#include <QDebug>

std::atomic<int> CaptureStreamer::ndiReceiverIndex{-1};

namespace {

const QString kNdiReceiver = QStringLiteral("NDI Receiver");
const QString kNone = QStringLiteral("<None>");
const QString kLineIn = QStringLiteral("line-in");
const QString kLineSeparator = QStringLiteral("###");

// Entries the operator never picks directly: placeholders, the NDI receiver (offered per NDI source) and
// the screen grabbers (offered per display).
bool isHiddenEntry(const QString &name) {
    static const QStringList hidden = {kNone, kNdiReceiver, QStringLiteral("<No External Audio>"),
                                       QLatin1String(kMFScreenCaptureDevice)};
    // The capture card's own video device is offered through the card source instead.
    return name.isEmpty() || hidden.contains(name) ||
           (name.startsWith(QLatin1String("FD")) && name.endsWith(QLatin1String("Video Capture")));
}

} // namespace

void CaptureStreamer::enumerateDevices(QString kind, QStringList &list) {
    enumerateDevices(kind, list, [] { return MFormats::create(); });
}

void CaptureStreamer::enumerateDevices(const QString &kind, QStringList &list,
                                       const std::function<std::shared_ptr<MFormats>()> &createSource) {
    static const char signature[] = "void __cdecl CaptureStreamer::enumerateDevices(class QString,class QStringList &)";
    std::shared_ptr<MFormats> lister = createSource ? createSource() : nullptr;
    if (!lister) {
        qCritical() << signature << "ERROR: Can't create MFormats instance";
        return;
    }
    lister->PropsSet(QStringLiteral("device.start_at_deviceset"), QStringLiteral("false"));
    lister->PropsSet(QStringLiteral("ndi_auto_connect"), QStringLiteral("false"));
    const int type = kind == QLatin1String("VIDEO") ? 0 : 2;
    list.clear();

    int count = 0;
    if (MF_FAILED(lister->DeviceGetCount(type, &count))) {
        qCritical() << signature << "DeviceGetCount FAILED";
        return;
    }
    int noneIndex = -1;
    for (int i = 0; i < count; ++i) {
        QString name;
        lister->DeviceGetByIndex(type, i, &name);
        qDebug() << "buttonName:" << name;
        if (name == kNdiReceiver)
            ndiReceiverIndex.store(i);
        if (name == kNone)
            noneIndex = i;
        if (isHiddenEntry(name))
            continue;
        if (name.contains(QLatin1String("AJA "))) {
            lister->DeviceSet(type, i, QString());
            int lines = 0;
            const int result = lister->PropsOptionGetCount(kLineIn, &lines);
            qDebug() << "DEVICE LINES:" << lines << MF_SUCCEEDED(result);
            if (MF_FAILED(result) || lines < 1) {
                list.append(name);
            } else {
                for (int j = 0; j < lines; ++j) {
                    QString line;
                    QString description;
                    lister->PropsOptionGetByIndex(kLineIn, j, &line, &description);
                    list.append(name + kLineSeparator + line);
                }
            }
            continue;
        }
        list.append(name);
    }
    // Leaves the lister on "<None>" so that listing does not keep a device open.
    if (noneIndex != 0) {
        qDebug() << "<None> index:" << noneIndex;
        lister->DeviceSet(type, noneIndex, QString());
    }
}

bool CaptureStreamer::setDevices(QString videoEntry, QString audioEntry) {
    // A run that was just told to stop drops its source when it ends; choosing devices on that source
    // would lose them, so let it finish first.
    waitForStoppingRun();
    if (audioEntry == QLatin1String("NO_AUDIO"))
        audioBitrate = 0;
    return openDevices(videoEntry, audioEntry);
}

void CaptureStreamer::chooseDevices(const QString &videoEntry, const QString &audioEntry, int screenIndex) {
    // The bitrate is the writer's, configured on this thread at startCapture.
    if (audioEntry == QLatin1String("NO_AUDIO"))
        audioBitrate = 0;
    QMutexLocker locker(&choiceLock);
    chosen = DeviceChoice{videoEntry, audioEntry, screenIndex};
    choicePending.store(true);
}

void CaptureStreamer::applyChosenDevices() {
    std::optional<DeviceChoice> choice;
    {
        QMutexLocker locker(&choiceLock);
        choice.swap(chosen);
        choicePending.store(false);
    }
    if (!choice)
        return;
    openDevices(choice->video, choice->audio);
    if (choice->screen >= 0)
        setArea(choice->screen, QRect());
}

bool CaptureStreamer::openDevices(const QString &videoEntry, const QString &audioEntry) {
    std::shared_ptr<MFormats> target;
    {
        QMutexLocker locker(&sourceLock);
        if (needNewSource.load()) {
            source = media.createSource ? media.createSource() : nullptr;
            if (!source) {
                qCritical() << "bool __cdecl CaptureStreamer::setDevices(class QString,class QString)"
                            << "ERROR: Can't create MFormats instance";
                return false;
            }
            needNewSource.store(false);
        }
        target = source;
    }

    setVideoDevice(videoEntry);

    auto clearAudio = [this] {
        MFFormat format = convertFormat.load();
        format.channels = 0;
        format.sampleRate = 0;
        format.bitsPerSample = 0;
        convertFormat.store(format);
    };
    if (audioEntry == QLatin1String("NO_AUDIO")) {
        clearAudio();
    } else if (audioEntry == QLatin1String("ORIGINAL")) {
        clearAudio();
        qDebug() << "ORIGINAL:" << convertFormat.load().channels;
        const bool internal = setMFDevice(target, 1, QStringLiteral("<From Video>"), QString());
        qDebug() << "set Internal AudioDevice to <From Video>:" << internal;
        const bool external = setMFDevice(target, 2, QStringLiteral("<No External Audio>"), QString());
        qDebug() << "set External AudioDevice to <No External Audio>:" << external;
    } else {
        const bool internal = setMFDevice(target, 1, kNone, QString());
        qDebug() << "set Internal AudioDevice to None:" << internal;
        const bool external = setMFDevice(target, 2, audioEntry, QString());
        qDebug() << "set External AudioDevices:" << audioEntry << external;
    }
    return true;
}

bool CaptureStreamer::setVideoDevice(const QString &entry) {
    std::shared_ptr<MFormats> target = currentSource();
    if (entry.startsWith(QLatin1String("SoftLab "))) {
        // A card chosen again (or another card) replaces the previous one, whose sink may carry the same name.
        retireCard(cardSource.exchange(nullptr));
        auto *card = new SLDCardSource2();
        card->setLogWindow(logWindow.load());
        card->setLostFlag(cardLost);
        const QString device = QStringLiteral("mp://") + card->startCard(entry);
        cardSource.store(card);
        const bool opened = setMFDevice(target, eMFDT_Sink, device, QString());
        qDebug() << "setSLDDevice:" << device << opened;
        return true;
    }
    // A card no longer read is stopped once the new source is open; its loss would otherwise fail a stream that
    // does not use it.
    struct RetireCard {
        CaptureStreamer *owner;
        ~RetireCard() {
            if (SLDCardSource2 *card = owner->cardSource.exchange(nullptr)) {
                retireCard(card);
                owner->cardLost->store(false);
            }
        }
    } retireAfterwards{this};
    if (entry.startsWith(QLatin1String("NDI:"))) {
        setNDIDevice(entry);
        return true;
    }
    QString name = entry;
    QString line;
    if (entry.contains(kLineSeparator)) {
        const QStringList parts = entry.split(kLineSeparator, Qt::KeepEmptyParts);
        name = parts.value(0);
        line = parts.value(1);
    }
    const bool opened = setMFDevice(target, 0, name, line);
    qDebug() << "setVideoDevice:" << name << line << opened;
    log(QStringLiteral("setVideoDevice: ") + name);
    if (!line.isEmpty())
        log(QStringLiteral("select line:") + line);
    return true;
}

void CaptureStreamer::setNDIDevice(QString entry) {
    const QString name = entry.remove(QStringLiteral("NDI:"));
    int receiver = ndiReceiverIndex.load();
    qDebug() << "setNDIDevice:" << receiver << name;
    std::shared_ptr<MFormats> target = currentSource();
    if (!target)
        return;
    // The index was met by another listing (the main window's); a device plugged in or out since then moves
    // the receiver in this source's list, which would open another device in its place. It is looked up by
    // its name there instead (and none is opened where this list has none).
    QString listed;
    if (MF_FAILED(target->DeviceGetByIndex(0, receiver, &listed)) || listed != kNdiReceiver) {
        int count = 0;
        target->DeviceGetCount(0, &count);
        receiver = -1;
        for (int i = 0; i < count; ++i)
            if (MF_SUCCEEDED(target->DeviceGetByIndex(0, i, &listed)) && listed == kNdiReceiver)
                receiver = i;
    }
    if (MF_FAILED(target->DeviceSet(0, receiver, QString())))
        qDebug() << "FAILED SETUP NDI";
    if (MF_FAILED(target->PropsSet(kLineIn, name)))
        qCritical() << "void __cdecl CaptureStreamer::setNDIDevice(class QString)"
                    << "set line-in FAILED:";
    else
        qDebug() << "PROPS SET SUCCESSFULL";
}

void CaptureStreamer::setArea(int screenIndex, QRect rect) {
    const QString corners =
        QStringLiteral("%1,%2,%3,%4").arg(rect.left()).arg(rect.top()).arg(rect.right()).arg(rect.bottom());
    const QString size = QStringLiteral("%1x%2").arg(rect.width()).arg(rect.height());
    qDebug() << "SET AREA:" << corners << size << screenIndex;
    std::shared_ptr<MFormats> target = currentSource();
    if (!target)
        return;
    target->PropsSet(QStringLiteral("capture.highlight_mouse"), QStringLiteral("hide"));
    target->PropsSet(QStringLiteral("capture.screen_index"), QString::number(screenIndex));
}
