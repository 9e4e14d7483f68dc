#pragma once

#include "guardedformat.h"
#include "mfformat.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QMutex>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class LogsDlg;
class MFormats;
class MFPreview;
class MFWriter;
class SLDCardSource2;
class IMFFrame;

// How the capture thread obtains its media objects. The application uses the media layer's own
// create() functions; tests hand in scripted sources and writers.
struct CaptureMedia {
    std::function<std::shared_ptr<MFormats>()> createSource;
    std::function<std::shared_ptr<MFWriter>()> createWriter;
    std::function<std::shared_ptr<MFPreview>()> createPreview;
    // UTC time of day stamped into the timecode strip: the network clock.
    std::function<QDateTime()> clock;

    static CaptureMedia standard();
};

// The capture-and-encode thread: pulls frames from the live source, converted to one output format,
// and hands each to the encoder (which writes MPEG-TS to the relay's loopback port) and, while a
// preview window is set, to the preview. Configured from the GUI thread between runs; the counters and
// the source format may be read from the GUI thread at any time.
class CaptureStreamer : public QThread {
public:
    CaptureStreamer();
    explicit CaptureStreamer(const CaptureMedia &media);
    ~CaptureStreamer() override;
    CaptureStreamer(const CaptureStreamer &) = delete;
    CaptureStreamer &operator=(const CaptureStreamer &) = delete;

    void setLogWindow(LogsDlg *window);

    // Frame size (empty: as the source), video and audio bitrate in kbit/s.
    void setOutputParams(const QSize &size, int videoBitrate, int audioBitrate);
    // Configures the writer for tcp://127.0.0.1:<port> and starts the thread. frameRate: -1 as the
    // source, 2997 for 29.97, else frames per second. interlace: 1 top first, 2 bottom first, 3 progressive.
    bool startCapture(int port, int frameRate, int interlace, int gopMultiplier, const QString &codec,
                      const QString &extraOptions, const QString &audioChannels, int sampleRate);
    // Asks the run to end after the current frame; does not wait.
    void stopCapture();
    // How long device selection and startCapture wait, at most, for a run that was told to stop.
    static constexpr int kStopWaitMs = 3000;
    // Lets a run that was told to stop end (by the deadline) before the next one is prepared; true when idle. A
    // caller with a tighter bound for its whole Start calls this first; the later waits then find the thread idle.
    bool waitForStoppingRun(QDeadlineTimer deadline = QDeadlineTimer(kStopWaitMs));
    // Retargets the running stream's video bitrate (kbit/s) from the next frame on, without a restart; false when
    // there is no writer. Any thread.
    bool setVideoBitrate(int kbps);

    // Opens the video entry and the audio choice ("NO_AUDIO", "ORIGINAL" or a device name) on the live
    // source, creating it first when the previous run dropped it. False only when it cannot be created.
    // Waits for the devices on the calling thread.
    bool setDevices(QString videoEntry, QString audioEntry);
    // The same choice (and the display for screen capture, when screenIndex >= 0) made on the capture thread:
    // at the start of the next run, or between two frames of the running one. A device that is slow to open (a
    // sound server that does not answer, a capture card that is retired, a camera) then never holds the caller.
    void chooseDevices(const QString &videoEntry, const QString &audioEntry, int screenIndex = -1);
    // Lists the video ("VIDEO") or external audio (any other kind) entries offered to the operator.
    static void enumerateDevices(QString kind, QStringList &list);
    static void enumerateDevices(const QString &kind, QStringList &list,
                                 const std::function<std::shared_ptr<MFormats>()> &createSource);
    void setNDIDevice(QString entry);
    // Picks the display for screen capture; the rectangle is only reported.
    void setArea(int screenIndex, QRect rect);

    void setPreviewWindow(uint64_t nativeWindow);
    void setPreviewAudio(bool enabled);
    void setAlpha(bool enabled);
    void setVITC(bool enabled);

    // The option text handed to the writer.
    static QString writerOptions(int frameRate, int gopMultiplier, const QString &codec, const QString &extraOptions,
                                 int videoBitrate, int audioBitrate, int sampleRate);
    static QString outputAddress(int port);

    // Read by the GUI thread's status line while a run goes on; written by the capture thread only.
    GuardedFormat sourceFormat;
    std::atomic<int64_t> captureErrors{0};
    std::atomic<int64_t> writeErrors{0};
    std::atomic<uint64_t> framesWritten{0};
    // Why the run has failed on its own, set by the run and cleared by startCapture: its source is gone for good (a
    // capture card that could not be opened again), or the encoder's output cannot be written (it did not reach the
    // relay, or a write failed), after which no frame of the run would ever reach the server.
    enum class Failure { None, SourceLost, OutputFailed };
    std::atomic<Failure> failure{Failure::None};
    // True while the run's source gives no picture: none for kNoPictureMs since its frame loop began or since its last
    // picture. Cleared by the next picture and by startCapture.
    static constexpr int kNoPictureMs = 1000;
    std::atomic<bool> pictureMissing{false};

    // The process-wide index of the "NDI Receiver" entry in the live source's video list, -1 until listed.
    static std::atomic<int> ndiReceiverIndex;

    // Test access to state the application never reads directly.
    bool needsNewSource() const { return needNewSource.load(); }
    MFFormat outputFormat() const;
    uint64_t previewTarget() const { return previewWindow.load(); }
    bool timecodeEnabled() const { return vitc.load(); }

protected:
    void run() override;

private:
    void configureWriter(int port, int frameRate, int gopMultiplier, const QString &codec, const QString &extraOptions,
                         int sampleRate);
    bool openDevices(const QString &videoEntry, const QString &audioEntry);
    bool setVideoDevice(const QString &entry);
    // Opens what chooseDevices asked for, on the capture thread.
    void applyChosenDevices();
    void log(const QString &text);
    std::shared_ptr<MFormats> currentSource() const;
    // Taken from the first frame of a run that gets a strip.
    struct StripGeometry {
        double frameRate = -1.0;
        double width = 0.0;
        double height = 0.0;
    };
    void stampTimecode(IMFFrame &frame, StripGeometry &geometry);

    std::atomic<LogsDlg *> logWindow{nullptr};
    // Written by the capture thread at the end of a run and by setDevices on the GUI thread.
    std::atomic<bool> needNewSource{true};
    // Guards the source pointer (not the object): the run drops it while the GUI thread may select devices.
    mutable QMutex sourceLock;
    std::shared_ptr<MFormats> source;
    std::shared_ptr<MFWriter> writer;
    std::shared_ptr<MFPreview> preview;
    // Read by the run for every fetch; device selection may change its audio fields during a run.
    GuardedFormat convertFormat;
    int videoBitrate = 0;
    int audioBitrate = 0;
    std::atomic<bool> running{false};
    QString audioChannels;
    std::atomic<uint64_t> previewWindow{0};
    std::atomic<bool> vitc{false};
    int framesInSecond = 0;
    int currentSecond = -1;
    std::atomic<bool> alpha{false};
    // Stops the card source and frees it once its thread has ended.
    static void retireCard(SLDCardSource2 *card);
    // The capture card feeding the live source: set by device selection (GUI thread), taken by the end of
    // the run (capture thread).
    std::atomic<SLDCardSource2 *> cardSource{nullptr};
    // Set by the current card when it is lost; shared, since a card left behind may outlive this object.
    const std::shared_ptr<std::atomic<bool>> cardLost = std::make_shared<std::atomic<bool>>(false);

    struct DeviceChoice {
        QString video;
        QString audio;
        int screen = -1;
    };
    QMutex choiceLock; // guards chosen
    std::optional<DeviceChoice> chosen;
    std::atomic<bool> choicePending{false};

    CaptureMedia media;
    // A message from construction, before any log window was attached.
    QString undeliveredLog;
};

// Replaces an ARGB32 frame by its masked form (picture over mask) when the frame carries one.
bool splitARGBmask(std::shared_ptr<IMFFrame> *frame);
