#include "playerworker.h"

#include "imfdevice.h"
#include "mfpreview.h"
#include "mfreader.h"
#include "mfrenderer.h"
#include "mfresult.h"
#include "mfsink.h"
#include "networkclock.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QRegularExpression>

#include <exception>

namespace {
constexpr int kStopPollMs = 20;
} // namespace

PlayerWorker::PlayerWorker(QObject *parent) : QThread(parent) {
    sink = MFSink::create();
    if (!sink)
        qCritical() << "__cdecl PlayerWorker::PlayerWorker(class QObject *)"
                    << "ERROR: failed to create MFSink";
}

PlayerWorker::~PlayerWorker() {
    stop();
    // Bounded: an owner that may meet a request stuck in the kernel leaves the object behind instead (the
    // player window does); destroying a thread that still runs aborts the process.
    if (!wait(kDestroyWaitMs))
        qCritical() << "~PlayerWorker: the thread is still inside a request";
    if (sink)
        sink->SinkClean();
}

void PlayerWorker::initNDI(const QString &name) {
    ndiRenderer = MFRenderer::create();
    if (!ndiRenderer) {
        qCritical() << "void __cdecl PlayerWorker::initNDI(class QString)"
                    << "ERROR: failed to create NDI";
        return;
    }
    setMFDevice(ndiRenderer, eMFDT_Video, QStringLiteral("NDI Renderer"));
    if (MF_FAILED(ndiRenderer->PropsSet(QStringLiteral("line-out"), name)))
        qCritical() << "void __cdecl PlayerWorker::initNDI(class QString)"
                    << "set line-in FAILED:";
    else
        qDebug() << "PROPS SET SUCCESSFULL";
    ndiReceiver = ndiRenderer;
}

void PlayerWorker::initSink(const QString &name) {
    if (!sink || MF_FAILED(sink->SinkInit(name, QStringLiteral("ds_") + name, QString())))
        qDebug() << "void __cdecl PlayerWorker::initSink(class QString)"
                 << "ERROR: failed to MFSink init";
    else
        qDebug() << "sink" << name;
}

bool PlayerWorker::setMFDevice(std::shared_ptr<IMFDevice> device, int type, const QString &name) {
    const char *signature = "bool __cdecl PlayerWorker::setMFDevice(class ATL::CComPtr<struct "
                            "IMFDevice>,enum eMFDeviceType,class QString)";
    if (!device)
        return false;
    int count = 0;
    if (MF_FAILED(device->DeviceGetCount(type, &count))) {
        qCritical() << signature << "DeviceGetCount FAILED";
        return false;
    }
    for (int index = 0; index < count; ++index) {
        QString entry;
        device->DeviceGetByIndex(type, index, &entry);
        qDebug() << " ENUM:" << entry;
        if (entry != name)
            continue;
        if (MF_FAILED(device->DeviceSet(type, index, QString()))) {
            qCritical() << signature << "DeviceSet FAILED";
            return false;
        }
        return true;
    }
    return false;
}

QString PlayerWorker::loggableUrl(const QString &url) {
    static const QRegularExpression secret(QStringLiteral("(passphrase=)[^&]*"));
    return QString(url).replace(secret, QStringLiteral("\\1***"));
}

QString PlayerWorker::url() const {
    std::lock_guard<std::mutex> locker(lock);
    return urlText;
}

void PlayerWorker::setUrl(const QString &url) {
    std::lock_guard<std::mutex> locker(lock);
    urlText = url;
}

void PlayerWorker::stop() {
    stopRequested = true;
    running = false;
    std::lock_guard<std::mutex> locker(lock);
    if (reader)
        reader->ReaderInterrupt();
}

void PlayerWorker::prepareStart() {
    stopRequested = false;
}

void PlayerWorker::setVolumes(const QString &volumes) {
    std::lock_guard<std::mutex> locker(lock);
    volumesText = volumes;
    gainChanged = true;
}

QString PlayerWorker::volumes() const {
    std::lock_guard<std::mutex> locker(lock);
    return volumesText;
}

std::shared_ptr<MFPreview> PlayerWorker::previewObject() const {
    std::lock_guard<std::mutex> locker(lock);
    return preview;
}

bool PlayerWorker::pause(int ms) const {
    const QDeadlineTimer until(ms);
    while (!stopRequested && !until.hasExpired())
        QThread::msleep(std::min<qint64>(kStopPollMs, std::max<qint64>(1, until.remainingTime())));
    return !stopRequested;
}

void PlayerWorker::applyGains(MFReader *source, bool always) {
    if (!gainChanged.exchange(false) && !always)
        return;
    const QString text = volumes();
    if (text.isEmpty())
        return;
    source->PropsSet(QStringLiteral("audio_gain"), text);
    qDebug() << "set props :" << text;
}

void PlayerWorker::play(MFReader *source, IMFReceiver *previewReceiver) {
    int failedReads = 0;
    // The gains are set before a request: the reader applies them while it decodes the frame it returns.
    applyGains(source, true);
    while (running && !stopRequested) {
        applyGains(source, false);
        MFFramePtr frame;
        const int result = source->SourceFrameGet(-1, &frame, QString());
        if (result != MF_OK || !frame) {
            // One line per run of failures, not one per request.
            if (!failedReads++)
                qDebug() << "-- FAILED READ FRAME";
            // The input has ended (the server closed the feed) or was interrupted: open it again.
            if (result == MF_E_FAIL)
                return;
            pause(kFailedReadPauseMs);
            continue;
        }
        if (failedReads)
            qDebug() << "-- frames again after" << failedReads << "failed reads";
        failedReads = 0;
        phaseNow = Playing;
        // Read as soon as the frame is decoded, before the outputs take their time with it.
        glassToGlass.measure(*frame, networkClockNow());
        if (ndiEnabled && ndiReceiver) {
            try {
                ndiReceiver->ReceiverFramePut(frame, -1, QString());
            } catch (const std::exception &) {
                qDebug() << "NDI Ssend frame failed";
            }
        }
        if (deviceEnabled && sink)
            sink->ReceiverFramePut(frame, 0, QString());
        if (previewReceiver)
            previewReceiver->ReceiverFramePut(frame, -1, QString());
        ++played;
    }
}

void PlayerWorker::run() {
    qDebug() << "ndi & preview thread" << this << "started";
    const char *signature = "void __cdecl PlayerWorker::run(void)";
    std::shared_ptr<MFReader> source = MFReader::create();
    if (!source) {
        qCritical() << signature << "ERROR: Can't create MFReader instance";
        return;
    }
    source->ReaderStopCheckSet([this] { return stopRequested.load(); });
    std::shared_ptr<MFPreview> shown = previewObject();
    if (!shown) {
        shown = MFPreview::create();
        std::lock_guard<std::mutex> locker(lock);
        preview = shown;
    }
    if (shown) {
        shown->PreviewEnable(QString(), 1, 1);
        shown->PreviewWindowSet(QString(), previewWindow);
    }
    {
        std::lock_guard<std::mutex> locker(lock);
        reader = source;
    }
    const QString address = url();
    // A figure of the previous feed must not show for this one.
    glassToGlass.reset();

    while (!stopRequested) {
        phaseNow = Opening;
        if (MF_FAILED(source->ReaderOpen(address, QString::fromLatin1(kReaderOptions)))) {
            if (stopRequested)
                break;
            qCritical() << signature << "ERROR: Can't open this media file";
            phaseNow = OpenFailed;
            pause(kReopenPauseMs);
            continue;
        }
        // A stop that came while the open ran: its interrupt may have landed before the open reset it.
        if (stopRequested)
            break;
        running = true;
        play(source.get(), shown.get());
        source->ReaderClose();
        if (!stopRequested) {
            phaseNow = OpenFailed;
            pause(kReopenPauseMs);
        }
    }

    running = false;
    {
        std::lock_guard<std::mutex> locker(lock);
        reader.reset();
    }
    source->ReaderClose();
    phaseNow = Idle;
    qDebug() << "ndi & preview thread" << this << "finished";
}
