#include "sldcardsource2.h"

#include "logsdlg.h"
#include "mffactory.h"
#include "mfformat.h"
#include "mfresult.h"
#include "mfsink.h"
#include "sldcardmanager.h"
#include "sldframeclock.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>

#include <atomic>
#include <cmath>
#include <new>
#include <vector>

namespace {

const QString kEntryPrefix = QStringLiteral("SoftLab ");
constexpr int kBytesPerPixel = 4;
constexpr int kBytesPerSample = 2;
constexpr int kBitsPerSample = 16;
constexpr int kFailureLogIntervalMs = 1000;

// The process-wide manager. Created on the GUI thread, read by card threads once it exists.
QMutex managerLock; // serialises creation
std::atomic<SLDCardManager *> g_pIMgr{nullptr};

SLDCardManager *createManager() {
    QMutexLocker locker(&managerLock);
    if (SLDCardManager *existing = g_pIMgr.load())
        return existing;
    QString why;
    SLDCardManager *manager = SLDCardManager::load(SLDCardManager::configuredPath(), &why);
    if (!manager) {
        qDebug() << "ERROR: Can't create FDExtSrvdLib::CLSID_FDExtMgr";
        qDebug().noquote() << "  card driver:" << why;
        return nullptr;
    }
    g_pIMgr.store(manager);
    qDebug() << "CLSID_FDExtMgr CREATED: " << static_cast<void *>(manager) << manager->path() << "sldcardsource2"
             << __LINE__;
    return manager;
}

} // namespace

SLDCardSource2::SLDCardSource2(QObject *parent) : QThread(parent) {
    // Names the OS thread, so that a card thread left behind can be found.
    setObjectName(QStringLiteral("SLDCardSource2"));
    createManager();
}

SLDCardSource2::~SLDCardSource2() {
    if (isRunning()) {
        running.exchange(false);
        // Destroying a running thread aborts the process; the read loop ends after its current read.
        wait();
    }
    if (sink)
        sink->SinkClean();
    factory.reset();
    sink.reset();
}

void SLDCardSource2::initManager() {
    createManager();
}

bool SLDCardSource2::haveManager() {
    return g_pIMgr.load() != nullptr;
}

QStringList SLDCardSource2::scan() {
    QStringList entries;
    SLDCardManager *manager = g_pIMgr.load();
    if (!manager)
        return entries;
    qDebug() << "SCAN";
    for (const auto &card : manager->usableCards())
        entries.append(kEntryPrefix + card.second);
    return entries;
}

uint32_t SLDCardSource2::channelMask(int channels) {
    if (channels <= 0)
        return 0;
    if (channels >= 32)
        return 0xffffffffu;
    return (1u << channels) - 1u;
}

int SLDCardSource2::audioSamples(int bytes, int channels) {
    if (bytes <= 0 || channels <= 0)
        return 0;
    return bytes / (channels * kBytesPerSample);
}

QString SLDCardSource2::startCard(const QString &entry) {
    QString names = entry;
    names.remove(kEntryPrefix);
    const QString sinkName = QStringLiteral("sld_") + names.toLower();
    initMFSink(sinkName);

    m_ind = -1;
    if (SLDCardManager *manager = g_pIMgr.load()) {
        for (const auto &card : manager->usableCards()) {
            if (card.second == names) {
                m_ind = card.first;
                break;
            }
        }
    }
    qDebug() << " m_ind:  " << m_ind;
    cardName = names;
    frameCount.store(0);
    failures.store(0);
    reopenCount.store(0);
    lostNow.store(false);
    if (lostFlag)
        lostFlag->store(false);
    // Set here, not in run: a stop that comes before the thread is scheduled must not be overwritten.
    running.exchange(true);
    start(QThread::HighPriority);
    return sinkName;
}

void SLDCardSource2::initMFSink(QString name) {
    static const char signature[] = "void __cdecl SLDCardSource2::initMFSink(class QString)";
    qDebug() << "MFVCam start init ...";
    factory = MFFactory::create();
    if (!factory) {
        qCritical() << signature << "ERROR: failed to create MFFactory";
        return;
    }
    sink = MFSink::create();
    if (!sink) {
        qCritical() << signature << "ERROR: failed to create MFSink";
        return;
    }
    if (MF_FAILED(sink->SinkInit(name, QString(name).replace(QLatin1Char(' '), QLatin1Char('_')), QString())))
        qDebug() << signature << "ERROR: failed to MFSink init";
    else
        qDebug() << "MFVCam successfully init with name" << name;
}

bool SLDCardSource2::stopCard() {
    running.exchange(false);
    const bool ended = QThread::currentThread() == this || wait(STOP_WAIT_MS);
    if (!ended)
        qCritical() << "SLDCardSource2::stopCard: the card thread is still inside a driver call";
    if (sink) {
        qDebug() << "MFSink clean"
                 << "sldcardsource2" << __LINE__;
        sink->SinkClean();
    }
    qDebug() << "STOP CAPTURE"
             << "sldcardsource2" << __LINE__;
    return ended;
}

QString SLDCardSource2::formatProblem(int32_t videoResult, const SldVideoFormat &video, int32_t audioResult,
                                      const SldAudioFormat &audio, bool *waitForSignal) {
    *waitForSignal = false;
    // After a failed call the record holds whatever the driver left in it.
    if (videoResult != 0)
        return QStringLiteral("the driver's video format call failed (%1)").arg(videoResult);
    const bool sizeFits = video.width >= 0 && video.height >= 0 && video.width <= MAX_SIDE && video.height <= MAX_SIDE;
    if (!sizeFits || !std::isfinite(video.frame_rate) || video.frame_rate < 0.0 || video.frame_rate > MAX_FRAME_RATE)
        return QStringLiteral("impossible video format %1x%2 at %3 frames/s")
            .arg(video.width)
            .arg(video.height)
            .arg(video.frame_rate);
    if (video.width == 0 || video.height == 0 || !(video.frame_rate > 0.0)) {
        *waitForSignal = true;
        return QStringLiteral("no picture yet (%1x%2 at %3 frames/s)")
            .arg(video.width)
            .arg(video.height)
            .arg(video.frame_rate);
    }
    // A failed audio call leaves the card without sound; values it reports are believed only within bounds.
    if (audioResult == 0 && (audio.channels < 0 || audio.channels > MAX_CHANNELS || audio.sample_rate < 0 ||
                             audio.sample_rate > MAX_SAMPLE_RATE))
        return QStringLiteral("impossible audio format, %1 channels at %2 Hz")
            .arg(audio.channels)
            .arg(audio.sample_rate);
    return QString();
}

void SLDCardSource2::say(const QString &text) const {
    qWarning().noquote() << "SLDCardSource2:" << text;
    if (logWindow)
        logWindow->addMessage(text);
}

void SLDCardSource2::loseCard(const QString &why) {
    say(QStringLiteral("CAPTURE CARD LOST: ") + cardName + QStringLiteral(" (") + why + QStringLiteral(")"));
    lostNow.store(true);
    if (lostFlag)
        lostFlag->store(true);
}

bool SLDCardSource2::pause(int ms) const {
    QElapsedTimer paused;
    paused.start();
    while (running.load() && paused.elapsed() < ms)
        QThread::msleep(NO_FRAME_POLL_MS * 10);
    return running.load();
}

void SLDCardSource2::run() {
    SLDCardManager *manager = g_pIMgr.load();
    if (!manager || m_ind < 0 || !sink || !factory) {
        qDebug() << "SLDCardSource2::run: no card to read" << static_cast<void *>(manager) << m_ind;
        if (running.load())
            loseCard(QStringLiteral("no such card"));
        return;
    }
    const SldDriver &driver = manager->driver();
    lastStop = 0;
    int tries = 0; // opens since the last picture
    while (running.load()) {
        uint64_t frames = 0;
        QString why;
        const Session session = readSession(driver, &frames, &why);
        if (session == Session::Stopped || !running.load())
            break;
        if (session == Session::Refused) {
            loseCard(why);
            break;
        }
        if (frames > 0)
            tries = 0;
        if (++tries > REOPEN_TRIES) {
            loseCard(QStringLiteral("no picture after %1 tries: %2").arg(REOPEN_TRIES).arg(why));
            break;
        }
        say(QStringLiteral("CAPTURE CARD: ") + cardName + QStringLiteral(": ") + why +
            QStringLiteral(", opening it again (try %1 of %2)").arg(tries).arg(REOPEN_TRIES));
        if (!pause(REOPEN_PAUSE_MS))
            break;
        reopenCount.fetch_add(1);
    }
}

SLDCardSource2::Session SLDCardSource2::readSession(const SldDriver &driver, uint64_t *frames, QString *why) {
    SldCapture *capture = driver.device_open(m_ind, SLD_OPEN_CAPTURE);
    qDebug() << " g_pIMgr: " << static_cast<const void *>(&driver) << "   pIUnk: " << static_cast<void *>(capture)
             << "   m_ind: " << m_ind << "sldcardsource2" << __LINE__;
    if (!capture) {
        *why = QStringLiteral("the card does not open");
        return Session::NotOpened;
    }
    // Closes the card on every way out of this session.
    const std::unique_ptr<SldCapture, void (*)(SldCapture *)> closer(capture, driver.device_close);

    SldVideoFormat video{};
    SldAudioFormat audio{};
    const int32_t videoResult = driver.video_format(capture, &video);
    qDebug() << " Video Format: " << video.frame_rate << " " << video.width << " " << video.height;
    const int32_t audioResult = driver.audio_format(capture, &audio);
    qDebug() << "Audio Format:" << audio.channels << audio.reserved2 << audio.sample_rate;
    bool waitForSignal = false;
    *why = formatProblem(videoResult, video, audioResult, audio, &waitForSignal);
    if (!why->isEmpty())
        return waitForSignal ? Session::NoSignal : Session::Refused;
    if (audioResult != 0)
        qWarning() << "SLDCardSource2: the driver's audio format call failed with" << audioResult
                   << "; the card is read without sound";
    const int channels = audioResult == 0 && audio.channels > 0 && audio.sample_rate > 0 ? audio.channels : 0;

    int64_t next = 0;
    int64_t extra = 0;
    // Without a position the first read asks for frame 0, and the card answers with its newest frame.
    if (driver.position(capture, &next, &extra) != 0 || next < 0)
        next = 0;

    // The size is bounded above, so neither the row nor the frame overflows.
    const int32_t rowBytes = video.width * kBytesPerPixel;
    const int64_t videoBytes = int64_t(rowBytes) * video.height;
    std::vector<uint8_t> videoBuffer;
    std::vector<uint8_t> audioBuffer;
    try {
        videoBuffer.resize(static_cast<size_t>(videoBytes));
        audioBuffer.resize(AUDIO_BUFFER_BYTES);
    } catch (const std::bad_alloc &) {
        *why = QStringLiteral("no memory for %1x%2 pictures").arg(video.width).arg(video.height);
        return Session::Refused;
    }
    qDebug() << "abuf_sz: " << AUDIO_BUFFER_BYTES;
    const uint32_t mask = channelMask(channels);
    qDebug() << "ch_mask: " << mask;

    MFFormat format;
    format.colorFormat = MFCC_ARGB32;
    format.width = video.width;
    format.height = video.height;
    format.frameRate = video.frame_rate;
    format.channels = channels;
    format.sampleRate = channels ? audio.sample_rate : 0;
    format.bitsPerSample = channels ? kBitsPerSample : 0;

    // Time stamps go on from the previous open: the sink sees one run of frames.
    SLDFrameClock clock(video.frame_rate);
    const uint64_t base = lastStop;
    QElapsedTimer sinceFrame;
    sinceFrame.start();
    QElapsedTimer sinceFailureLog;

    while (running.load()) {
        int64_t position = next;
        const int read = driver.read_video(capture, videoBuffer.data(), videoBytes, rowBytes, &position, &extra, 0);
        if (read == SLD_READ_NO_FRAME) {
            QThread::msleep(NO_FRAME_POLL_MS);
            continue;
        }
        if (read != SLD_READ_OK) {
            // A failing card sends nothing, so the live source drops the last picture instead of repeating it.
            const uint64_t failed = failures.fetch_add(1) + 1;
            if (!sinceFailureLog.isValid() || sinceFailureLog.elapsed() >= kFailureLogIntervalMs) {
                qWarning() << "SLDCardSource2: card read failed with" << read << "(" << failed << "failures)";
                sinceFailureLog.start();
            }
            if (sinceFrame.elapsed() >= READ_FAILURE_LIMIT_MS) {
                *why = QStringLiteral("no picture for %1 ms").arg(READ_FAILURE_LIMIT_MS);
                return Session::Failed;
            }
            QThread::msleep(NO_FRAME_POLL_MS);
            continue;
        }
        sinceFrame.start();
        if (*frames == 0 && reopenCount.load() > 0)
            say(QStringLiteral("CAPTURE CARD BACK: ") + cardName);

        int32_t audioBytes = 0;
        if (channels &&
            driver.read_audio(capture, audioBuffer.data(), AUDIO_BUFFER_BYTES, position, &audioBytes, 0, mask) != 0)
            audioBytes = 0;
        if (audioBytes > AUDIO_BUFFER_BYTES)
            audioBytes = 0; // a driver that claims more than the buffer holds is not believed
        next = position + 1;

        const int samples = audioSamples(audioBytes, channels);
        MFFramePtr frame;
        if (MF_FAILED(factory->MFFrameCreateFromMem(format, videoBuffer.data(), videoBytes, samples,
                                                    samples ? audioBuffer.data() : nullptr, &frame, QString())) ||
            !frame) {
            qDebug() << "MFVCam Sink send frame failed";
            continue;
        }
        const uint64_t stop = base + clock.next();
        frameCount.fetch_add(1);
        ++*frames;
        frame->MFTimeSet(int64_t(lastStop), int64_t(stop));
        lastStop = stop;
        if (MF_FAILED(sink->ReceiverFramePut(frame, 0, QString())))
            qDebug() << "void __cdecl SLDCardSource2::run(void)"
                     << "ERROR: ReceiverFramePut";
    }
    return Session::Stopped;
}
