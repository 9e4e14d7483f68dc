#include "capturestreamer.h"

#include "allocatortuning.h"
#include "framefetcher.h"
#include "logsdlg.h"
#include "mformats.h"
#include "mfpreview.h"
#include "mfresult.h"
#include "mfwriter.h"
#include "networkclock.h"
#include "sldcardsource2.h"
#include "vitcstrip.h"

#include <QDebug>
#include <QElapsedTimer>

#include <cstdlib>

namespace {

// A source that fails at once would otherwise spin the loop and flood the log window; failed fetches are
// paced to at most one per this interval, which is still shorter than any frame period.
constexpr int kFailedFetchPaceMs = 10;
constexpr int kFailureDiagnosticMs = 1000;
// The writer's and the source's frames carry no options of their own.
const QString kNoOptions;

} // namespace

CaptureMedia CaptureMedia::standard() {
    CaptureMedia media;
    media.createSource = [] { return MFormats::create(); };
    media.createWriter = [] { return MFWriter::create(); };
    media.createPreview = [] { return MFPreview::create(); };
    media.clock = networkClockNow;
    return media;
}

CaptureStreamer::CaptureStreamer() : CaptureStreamer(CaptureMedia::standard()) {}

CaptureStreamer::CaptureStreamer(const CaptureMedia &media) : QThread(nullptr), media(media) {
    if (media.createPreview)
        preview = media.createPreview();
    if (!preview)
        qCritical() << "__cdecl CaptureStreamer::CaptureStreamer(void)"
                    << "ERROR: Can't create MFPreview instance";
    else
        preview->PreviewEnable(QString(), 1, 1);

    // The writer does not depend on the preview: a machine that cannot show a preview can still stream.
    if (media.createWriter)
        writer = media.createWriter();
    if (!writer) {
        undeliveredLog = QStringLiteral("ERROR 10: Can't create MFWriter instance");
        qCritical() << undeliveredLog;
    }
}

bool CaptureStreamer::setVideoBitrate(int kbps) {
    // The writer is made once with this object and kept until it goes, so reading the pointer needs no lock.
    return writer && MF_SUCCEEDED(writer->WriterSetVideoBitrate(kbps));
}

CaptureStreamer::~CaptureStreamer() {
    if (isRunning()) {
        stopCapture();
        // A fetch that hangs in a device holds only the fetcher's thread, which the run leaves behind; what the
        // run itself still does on its way out (the writer's close, the card's stop) ends by its own bounds.
        if (!wait(kStopWaitMs)) {
            qCritical() << "~CaptureStreamer: capture thread still ending, closing the source";
            if (std::shared_ptr<MFormats> stuck = currentSource())
                stuck->DeviceClose();
            // The thread reads this object's members, so it must end before they are freed.
            wait();
        }
    }
    retireCard(cardSource.exchange(nullptr));
    preview.reset();
    writer.reset();
    QMutexLocker locker(&sourceLock);
    source.reset();
}

void CaptureStreamer::retireCard(SLDCardSource2 *card) {
    if (!card)
        return;
    if (card->stopCard())
        delete card;
    else
        qCritical() << "CaptureStreamer: the card source did not stop in time and is left behind";
}

void CaptureStreamer::setLogWindow(LogsDlg *window) {
    logWindow.store(window);
    if (window && !undeliveredLog.isEmpty()) {
        window->addMessage(undeliveredLog);
        undeliveredLog.clear();
    }
}

void CaptureStreamer::log(const QString &text) {
    if (LogsDlg *window = logWindow.load())
        window->addMessage(text);
}

std::shared_ptr<MFormats> CaptureStreamer::currentSource() const {
    QMutexLocker locker(&sourceLock);
    return source;
}

MFFormat CaptureStreamer::outputFormat() const {
    return convertFormat.load();
}

bool CaptureStreamer::waitForStoppingRun(QDeadlineTimer deadline) {
    // The run itself opens chosen devices; it never waits for itself.
    if (QThread::currentThread() == this)
        return true;
    // One frame fetch normally ends within a frame period, so the wait only runs out when a device hangs.
    if (isRunning() && !running.load())
        wait(deadline);
    return !isRunning();
}

void CaptureStreamer::setOutputParams(const QSize &size, int videoBitrate, int audioBitrate) {
    this->videoBitrate = videoBitrate;
    this->audioBitrate = audioBitrate;
    MFFormat format;
    qDebug() << "setOutputParams:" << size << videoBitrate << audioBitrate;
    if (size.width() <= 0 || size.height() <= 0) {
        qDebug() << "-- use original frame size";
    } else {
        format.aspectX = 16;
        format.aspectY = 9;
        // The mask travels below the picture in the same frame.
        format.width = size.width();
        format.height = alpha.load() ? size.height() * 2 : size.height();
    }
    convertFormat.store(format);
}

QString CaptureStreamer::writerOptions(int frameRate, int gopMultiplier, const QString &codec,
                                       const QString &extraOptions, int videoBitrate, int audioBitrate,
                                       int sampleRate) {
    QString options = QStringLiteral("format='mpegts' play_while_rec='false' ");
    if (videoBitrate <= 0) {
        options += QStringLiteral(" video::codec='null' ");
    } else {
        options += QStringLiteral(" video::codec='%1' ").arg(codec);
        if (codec == QLatin1String("libopenh264"))
            options += QStringLiteral(" video::profile='constrained_baseline' ");
        else if (codec != QLatin1String("mpeg2video"))
            options += QStringLiteral(" video::profile='Main' ");
        // The GOP follows the rate as passed, so 29.97 (2997) gives a GOP of 2997 frames.
        if (frameRate > 0)
            options += QStringLiteral(" video::g='%1' ").arg(frameRate * gopMultiplier);
        options += QStringLiteral(" video::b='%1K' video::maxrate='%1K' ").arg(videoBitrate);
    }
    options += extraOptions;
    if (audioBitrate != 0)
        options += QStringLiteral(" audio::codec='aac'  audio::b='%1K'  audio::minrate='%1K' audio::maxrate='%1K' ")
                       .arg(audioBitrate);
    else
        options += QStringLiteral(" audio::codec='null' ");
    if (sampleRate != 0)
        options += QStringLiteral(" audio::ar='%1' ").arg(sampleRate);
    return options;
}

QString CaptureStreamer::outputAddress(int port) {
    return QStringLiteral("tcp://127.0.0.1:%1").arg(port);
}

void CaptureStreamer::configureWriter(int port, int frameRate, int gopMultiplier, const QString &codec,
                                      const QString &extraOptions, int sampleRate) {
    const QString options =
        writerOptions(frameRate, gopMultiplier, codec, extraOptions, videoBitrate, audioBitrate, sampleRate);
    const QString url = outputAddress(port);
    qDebug() << "URL:" << url;
    log(QStringLiteral("INTERNAL URL:") + url);
    const int result = writer ? writer->WriterSet(url, 1, options) : int(MF_E_NOTREADY);
    qDebug() << "setup config 20:" << options;
    qDebug() << "setup config 30:" << MF_SUCCEEDED(result);
    log(QStringLiteral("CONFIGURATION:") + options);
}

bool CaptureStreamer::startCapture(int port, int frameRate, int interlace, int gopMultiplier, const QString &codec,
                                   const QString &extraOptions, const QString &audioChannels, int sampleRate) {
    // A restart right after a stop may find the previous run still ending; configuring the writer under
    // it would reconfigure the encoder while that run still writes.
    if (!waitForStoppingRun()) {
        qCritical() << "bool __cdecl CaptureStreamer::startCapture: the previous run has not ended";
        log(QStringLiteral("START FAILED: capture still running"));
        return false;
    }
    configureWriter(port, frameRate, gopMultiplier, codec, extraOptions, sampleRate);
    failure.store(Failure::None);
    pictureMissing.store(false);
    running.exchange(true);
    this->audioChannels = audioChannels;
    MFFormat format = convertFormat.load();
    if (frameRate <= 0) {
        qDebug() << "-- use original fps";
        format.frameRate = 0.0;
        format.interlace = 0;
    } else {
        // Rates above 2000 are given in hundredths (2997 is 29.97).
        constexpr int kHundredthsAbove = 2000;
        format.frameRate = frameRate > kHundredthsAbove ? frameRate / 100.0 : double(frameRate);
        format.interlace = interlace;
    }
    convertFormat.store(format);
    currentSecond = -1;
    framesInSecond = 0;
    start();
    return true;
}

void CaptureStreamer::stopCapture() {
    running.exchange(false);
}

void CaptureStreamer::setPreviewWindow(uint64_t nativeWindow) {
    previewWindow.store(nativeWindow);
    if (nativeWindow != 0 && preview)
        preview->PreviewWindowSet(QString(), nativeWindow);
}

void CaptureStreamer::setPreviewAudio(bool enabled) {
    constexpr double kPlayDb = 0.0;
    constexpr double kMuteDb = -100.0;
    if (preview)
        preview->PreviewAudioVolumeSet(QString(), -1, enabled ? kPlayDb : kMuteDb);
}

void CaptureStreamer::setAlpha(bool enabled) {
    alpha.store(enabled);
}

void CaptureStreamer::setVITC(bool enabled) {
    vitc.store(enabled);
}

void CaptureStreamer::run() {
    setPriority(QThread::HighPriority);
    applyChosenDevices();

    // The run keeps its own references, so a device change on the GUI thread never frees what it reads.
    std::shared_ptr<MFormats> runSource = currentSource();
    IMFSource *frameSource = runSource.get();
    IMFProps *props = runSource.get();
    std::shared_ptr<IMFReceiver> previewReceiver = preview;
    std::shared_ptr<MFWriter> runWriter = writer;

    const int channelsResult =
        props ? props->PropsSet(QStringLiteral("audio_channels"), audioChannels) : int(MF_E_NOTREADY);
    if (MF_FAILED(channelsResult))
        qCritical() << "void __cdecl CaptureStreamer::run(void)"
                    << "set AUDIO-CHANNELS FAILED:" << audioChannels;
    else
        qDebug() << "SET AUDIO-CHANNELS SUCCESSFULL " << audioChannels;
    if (props)
        props->PropsSet(QStringLiteral("no_signal.enabled"), QStringLiteral("false"));
    qDebug() << " PROPS:" << convertFormat.load().channels;

    captureErrors.store(0);
    writeErrors.store(0);
    framesWritten.store(0);
    bool firstFrame = true;
    bool writeFailureSaid = false;
    StripGeometry strip;

    // Frames come through a thread of their own, so that a device that hangs cannot hold this run past a Stop.
    auto fetcher = std::make_unique<FrameFetcher>(runSource);
    QElapsedTimer fetchTime;
    QElapsedTimer sinceFailureSaid;
    // Counted from the loop's start, so that devices slow to open do not count as a missing picture.
    QElapsedTimer sincePicture;
    sincePicture.start();
    const auto failRun = [this](Failure why) {
        Failure none = Failure::None;
        return failure.compare_exchange_strong(none, why);
    };
    while (running.load()) {
        if (choicePending.load()) {
            // The devices change on the run's own source; only a run that began without one takes the new one.
            applyChosenDevices();
            if (!runSource && (runSource = currentSource())) {
                frameSource = runSource.get();
                props = runSource.get();
                fetcher = std::make_unique<FrameFetcher>(runSource);
            }
            sincePicture.start();
        }
        if (cardLost->load() && failRun(Failure::SourceLost))
            qWarning() << "CaptureStreamer: the capture card is lost, the stream has failed";
        MFFramePtr frame;
        fetchTime.start();
        const int fetched = frameSource ? fetcher->fetch(convertFormat.load(), &frame, running) : int(MF_E_NOTREADY);
        if (fetched == FrameFetcher::kAbandoned)
            break;
        if (MF_FAILED(fetched) || !frame) {
            if (sincePicture.elapsed() >= kNoPictureMs)
                pictureMissing.store(true);
            log(QStringLiteral("GetFrame Failed"));
            const int64_t failures = captureErrors.fetch_add(1) + 1;
            // The log window counts the repeats; the diagnostic stream hears of them once a second.
            if (!sinceFailureSaid.isValid() || sinceFailureSaid.elapsed() >= kFailureDiagnosticMs) {
                qDebug() << "GetFrame Failed " << static_cast<void *>(frameSource) << static_cast<void *>(props)
                         << failures << "capturestreamer" << __LINE__;
                sinceFailureSaid.start();
            }
            const qint64 spent = fetchTime.elapsed();
            if (spent < kFailedFetchPaceMs)
                QThread::msleep(static_cast<unsigned long>(kFailedFetchPaceMs - spent));
            continue;
        }
        sincePicture.start();
        pictureMissing.store(false);
        if (firstFrame) {
            MFFormat format;
            frame->MFFormatGet(&format);
            sourceFormat.store(format);
            firstFrame = false;
        }
        // The masked form of a frame is made with the frame, so the strip goes on after the swap: drawn before, it
        // would stay behind in the frame that is dropped.
        if (alpha.load())
            splitARGBmask(&frame);
        if (vitc.load())
            stampTimecode(*frame, strip);

        const int written = runWriter ? runWriter->ReceiverFramePut(frame, -1, kNoOptions) : int(MF_E_NOTREADY);
        if (MF_FAILED(written)) {
            qDebug() << "write error " << written;
            // The writer gives up its output for the rest of the run at the first failure (an encoder that does not
            // open, a connection to the relay that cannot be made or stalls), so the stream has failed: the operator
            // hears of it once per run, and the restart takes over.
            if (!writeFailureSaid)
                log(QStringLiteral("WRITE FAILED: the frame could not be encoded or sent"));
            writeFailureSaid = true;
            failRun(Failure::OutputFailed);
            writeErrors.fetch_add(1);
        } else {
            if (previewReceiver && previewWindow.load() != 0)
                previewReceiver->ReceiverFramePut(frame, 0, kNoOptions);
            framesWritten.fetch_add(1);
        }
        frame.reset();
    }

    // The tail of the stream goes to the relay now, while it may still be listening, and the loopback
    // connection is released; a writer left open would flush into a relay that is gone at the next Start.
    // The next startCapture configures the writer anew.
    const int writerClosed = runWriter ? runWriter->WriterClose() : int(MF_E_NOTREADY);
    qDebug() << "WriterClose: " << MF_SUCCEEDED(writerClosed) << "capturestreamer" << __LINE__;

    frameSource = nullptr;
    props = nullptr;
    std::shared_ptr<MFormats> closing;
    {
        QMutexLocker locker(&sourceLock);
        closing.swap(source);
        needNewSource.store(true);
    }
    const int closed = closing ? closing->DeviceClose() : int(MF_E_NOTREADY);
    qDebug() << "DeviceClose: " << MF_SUCCEEDED(closed) << "capturestreamer" << __LINE__;
    // After the close, which makes a hanging fetch return on most devices; one that still hangs is let go.
    fetcher.reset();
    closing.reset();
    runSource.reset();

    qDebug() << "try stop sld"
             << "capturestreamer" << __LINE__;
    // The live source no longer reads the card's sink, so the card can stop.
    retireCard(cardSource.exchange(nullptr));
    cardLost->store(false);
    qDebug() << "stop CaptureStreamer::run"
             << "capturestreamer" << __LINE__;
    previewReceiver.reset();
    runWriter.reset();
    // The run's frames, encoder and device buffers are freed by now; the allocator would keep them for good.
    releaseFreeMemory();
}

void CaptureStreamer::stampTimecode(IMFFrame &frame, StripGeometry &geometry) {
    if (geometry.frameRate < 0.0) {
        MFFormat format;
        frame.MFFormatGet(&format);
        geometry.frameRate = format.frameRate;
        geometry.width = format.width;
        geometry.height = std::abs(format.height);
    }
    const QTime now = (media.clock ? media.clock() : QDateTime::currentDateTimeUtc()).time();
    // Frames are numbered from 0 within each second of the clock.
    int frameNumber = framesInSecond;
    if (now.second() != currentSecond) {
        currentSecond = now.second();
        frameNumber = 0;
    }
    framesInSecond = frameNumber + 1;

    uint8_t bits[kVitcBits];
    buildVitcBits(now.hour(), now.minute(), now.second(), frameNumber, geometry.frameRate,
                  static_cast<uint32_t>(now.msec()), bits);
    // The strip covers the bottom rows of the picture over its full width.
    constexpr double kStripRows = 3.0;
    constexpr double kCellScale = 0.5;
    constexpr int kDrawFlags = 256;
    frame.MFPrint(vitcMarkup(bits), kCellScale, 0.0, geometry.height - kStripRows, geometry.width, kStripRows,
                  kDrawFlags, QStringLiteral("face='Times New Roman'  vert-align='bottom' bg-color='black' "));
}

bool splitARGBmask(std::shared_ptr<IMFFrame> *frame) {
    if (!frame || !*frame)
        return false;
    MFFormat format;
    (*frame)->MFFormatGet(&format);
    if (format.colorFormat != MFCC_ARGB32)
        return false;
    std::shared_ptr<IMFFrame> masked;
    const QString maskName = QStringLiteral("_hdyc_w_mask_");
    if (MF_FAILED((*frame)->MFObjGet(maskName, &masked)) || !masked) {
        qDebug() << "bool __cdecl splitARGBmask(struct IMFFrame **)"
                 << "@@@@@@@@@@@@@@@fail MFObjGet" << maskName;
        return false;
    }
    *frame = std::move(masked);
    return true;
}
