#include "sdithread.h"

#include "imfdevice.h"
#include "mfreader.h"
#include "mfrenderer.h"
#include "mfresult.h"
#include "mfwriter.h"
#include "setmfdevice.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString kSinkScheme = QStringLiteral("mp://");
const QString kLineSeparator = QStringLiteral(" ### ");
constexpr int kFileChannels = 2;
constexpr int kFileSampleRate = 44100;
constexpr int kFileBits = 16;
constexpr int kDeviceSampleRate = 48000;
constexpr int kDeviceBits = 24;
} // namespace

SdiThread::SdiThread(QObject *parent) : QThread(parent) {
    const char *signature = "__cdecl SdiThread::SdiThread(class QObject *)";
    writer = MFWriter::create();
    if (!writer) {
        qCritical() << signature << "ERROR 10: Can't create MFWriter instance";
        return;
    }
    renderer = MFRenderer::create();
    if (!renderer)
        qCritical() << signature << "ERROR: Can't create MFRenderer instance";
}

SdiThread::~SdiThread() {
    stop();
    // Bounded: an owner that may meet a request stuck in the kernel leaves the object behind instead (the
    // player window does); destroying a thread that still runs aborts the process.
    if (!wait(kDestroyWaitMs))
        qCritical() << "~SdiThread: the thread is still inside a request";
}

QString SdiThread::recordingOptions() {
    return QStringLiteral("format='mpegts' play_while_rec='false'") +
           QStringLiteral(" video::codec='%1' video::profile='main' ").arg(QStringLiteral("mpeg2video")) +
           QStringLiteral(" video::b='%1K' video::maxrate='%1K' ").arg(kVideoKbps) +
           QStringLiteral(" audio::codec='aac' audio::b='%1K'  audio::minrate='%1K' audio::maxrate='%1K' ")
               .arg(kAudioKbps) +
           QStringLiteral("mpeg::split_channels='1' ");
}

QString SdiThread::recordingsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::MoviesLocation) + QStringLiteral("/Tidewell/");
}

void SdiThread::splitOutputName(const QString &outputName, QString *device, int *line) {
    const QStringList parts = outputName.split(kLineSeparator);
    *device = parts.first();
    bool ok = false;
    const int index = parts.size() == 2 ? parts.at(1).toInt(&ok) : -1;
    *line = ok ? index : -1;
}

void SdiThread::configure(const QString &outputName, int videoFormat) {
    std::lock_guard<std::mutex> serial(outputLock);
    MFFormat format;
    std::shared_ptr<IMFReceiver> target;
    if (outputName == QCoreApplication::translate("Player", "File")) {
        startRecording();
        target = writer;
        format.sampleRate = kFileSampleRate;
        format.bitsPerSample = kFileBits;
    } else {
        setOutput(outputName);
        target = renderer;
        format.sampleRate = kDeviceSampleRate;
        format.bitsPerSample = kDeviceBits;
    }
    format.channels = kFileChannels;
    format.videoFormat = videoFormat;
    std::lock_guard<std::mutex> locker(lock);
    outputFormat = format;
    receiver = target;
    ++generation;
}

void SdiThread::setOutput(const QString &outputName) {
    QString device;
    int line = -1;
    splitOutputName(outputName, &device, &line);
    const bool selected = renderer && ::setMFDevice(renderer, eMFDT_Video, device, QString());
    qDebug() << "setOutput:" << device << selected;
    if (renderer && line >= 0)
        renderer->PropsOptionSetByIndex(QStringLiteral("line-out"), line);
}

void SdiThread::startRecording() {
    const QString folder = recordingsFolder();
    if (!QFileInfo::exists(folder))
        qDebug() << "mkpath" << folder << QDir().mkpath(folder);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("dd_MM_yyyy-hh_mm_ss"));
    // Two recordings started within one second, in this program or another copy of it, would share a name, and the
    // writer truncates its file at the first frame. The name is taken by creating the file here, exclusively: a
    // name another recording holds already is passed over for the next.
    QString file = folder + stamp + QStringLiteral(".ts");
    for (int copy = 2;; ++copy) {
        QFile reserved(file);
        if (reserved.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !reserved.exists()) {
            // Created, or the folder cannot take it at all: the writer then reports why.
            break;
        }
        file = folder + stamp + QStringLiteral("-%1.ts").arg(copy);
    }
    qDebug() << "URL:" << QStringLiteral("file://") + file;
    if (writer)
        writer->WriterSet(file, 1, recordingOptions());
    std::lock_guard<std::mutex> locker(lock);
    path = file;
}

QString SdiThread::recordingPath() const {
    std::lock_guard<std::mutex> locker(lock);
    return path;
}

bool SdiThread::deviceLost() const {
    std::lock_guard<std::mutex> locker(lock);
    if (!renderer || receiver != std::static_pointer_cast<IMFReceiver>(renderer))
        return false;
    int index = -1;
    renderer->DeviceGet(eMFDT_Video, &index, nullptr);
    return index < 0;
}

MFFormat SdiThread::format() const {
    std::lock_guard<std::mutex> locker(lock);
    return outputFormat;
}

void SdiThread::stop() {
    stopRequested = true;
    running = false;
    std::lock_guard<std::mutex> locker(lock);
    if (reader)
        reader->ReaderInterrupt();
}

void SdiThread::prepareStart() {
    stopRequested = false;
}

void SdiThread::finishOutput(int configuration) {
    // Flushes the encoders so that the file holds every frame it was given, or closes the device (a screen's
    // window); the next tick starts a new file or opens the device again. A configure() since the one given
    // (any for -1) has already closed them and opened the next.
    std::lock_guard<std::mutex> serial(outputLock);
    bool device = false;
    {
        std::lock_guard<std::mutex> locker(lock);
        if (configuration >= 0 && configuration != generation)
            return;
        if (receiver && receiver == std::static_pointer_cast<IMFReceiver>(writer))
            writer->WriterClose();
        device = receiver && receiver == std::static_pointer_cast<IMFReceiver>(renderer);
    }
    // Outside the lock: a device takes a moment to end, and the player asks about it meanwhile.
    if (device)
        renderer->DeviceClose();
}

void SdiThread::run() {
    qDebug() << "sdi thread" << this << "started";
    std::shared_ptr<MFReader> source = MFReader::create();
    if (!source) {
        qDebug() << "ERROR: can't create reader";
        return;
    }
    source->ReaderStopCheckSet([this] { return stopRequested.load(); });
    {
        std::lock_guard<std::mutex> locker(lock);
        reader = source;
    }
    const QString url = sinkName.startsWith(kSinkScheme) ? sinkName : kSinkScheme + sinkName;
    if (MF_FAILED(source->ReaderOpen(url, QString())))
        qDebug() << "ERROR: can't open MFSink reader";
    qDebug() << "reader name" << url;
    running = !stopRequested;

    bool wasEnabled = false;
    int seenGeneration = -1;
    while (running && !stopRequested) {
        if (!outputEnabled) {
            if (wasEnabled)
                finishOutput(seenGeneration);
            wasEnabled = false;
            msleep(kIdlePollMs);
            continue;
        }
        wasEnabled = true;
        MFFormat format;
        std::shared_ptr<IMFReceiver> target;
        int requested = 0;
        {
            std::lock_guard<std::mutex> locker(lock);
            format = outputFormat;
            target = receiver;
            requested = seenGeneration = generation;
        }
        MFFramePtr frame;
        if (source->SourceFrameConvertedGetByFormat(format, &frame, -1, QString()) != MF_OK || !frame) {
            msleep(kFailedReadPauseMs);
            continue;
        }
        {
            std::lock_guard<std::mutex> locker(lock);
            if (requested != generation)
                continue;
        }
        if (target)
            target->ReceiverFramePut(frame, -1, QString());
    }

    if (wasEnabled)
        finishOutput(-1);
    {
        std::lock_guard<std::mutex> locker(lock);
        reader.reset();
    }
    source->ReaderClose();
    qDebug() << "sdi thread" << this << "finished";
}
