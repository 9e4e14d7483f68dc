#pragma once

#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <memory>

class LogsDlg;
class MFFactory;
class MFSink;
struct SldAudioFormat;
struct SldDriver;
struct SldVideoFormat;

// Reads video and audio from one capture card through the card driver and hands each pair, as one
// frame, to a named in-process sink; the live source then captures "mp://" + the sink name.
// startCard and stopCard are called from one thread at a time (GUI or capture thread); the read loop
// runs on the card thread.
//
// A card that stops giving pictures (a signal lost for a moment, a driver that resets) is closed and opened
// again, a few times in a row at most; one that still gives none, or whose driver reports a format that cannot
// be (beyond the frame limit, a failed format call), is lost: the run ends and says so, and the lost flag tells
// the capture run, which fails the stream so that the restart takes over.
class SLDCardSource2 : public QThread {
public:
    // Bound on waiting for the card thread: one driver read returns within a frame period.
    static constexpr int STOP_WAIT_MS = 3000;
    // A card that fails every read for this long is closed and opened again.
    static constexpr int READ_FAILURE_LIMIT_MS = 2000;
    // Opens in a row that bring no picture before the card counts as lost, and the pause before each.
    static constexpr int REOPEN_TRIES = 5;
    static constexpr int REOPEN_PAUSE_MS = 300;
    static constexpr int AUDIO_BUFFER_BYTES = 200000;
    static constexpr int NO_FRAME_POLL_MS = 2;
    // What a driver may report; more is refused rather than allocated. The side is the media layer's frame limit.
    static constexpr int MAX_SIDE = 16384;
    static constexpr double MAX_FRAME_RATE = 1000.0;
    static constexpr int MAX_CHANNELS = 32; // the channel mask has 32 bits
    static constexpr int MAX_SAMPLE_RATE = 768000;

    explicit SLDCardSource2(QObject *parent = nullptr);
    ~SLDCardSource2() override;
    SLDCardSource2(const SLDCardSource2 &) = delete;
    SLDCardSource2 &operator=(const SLDCardSource2 &) = delete;

    // Loads the card driver once per process (GUI thread); without it there are no cards.
    static void initManager();
    static bool haveManager();
    // "SoftLab " + first name + " " + second name for every usable card.
    static QStringList scan();

    // Prepares the sink, finds the card and starts the read loop; returns the sink name.
    QString startCard(const QString &entry);
    void initMFSink(QString name);
    // Ends the read loop, waits for it (bounded) and cleans the sink. False when the card thread did not
    // end in time: the object must then not be destroyed.
    bool stopCard();

    // Where the operator reads of a card opened again or lost; set before startCard. The log window lives for
    // the rest of the process, so a card thread left behind may still write to it.
    void setLogWindow(LogsDlg *window) { logWindow = window; }
    // Set to true when the card is lost; set before startCard, shared so that a card thread left behind never
    // writes into a freed owner.
    void setLostFlag(std::shared_ptr<std::atomic<bool>> flag) { lostFlag = std::move(flag); }

    int cardIndex() const { return m_ind; }
    uint64_t framesSent() const { return frameCount.load(); }
    uint64_t readFailures() const { return failures.load(); }
    // Times the card was opened again after it stopped giving pictures.
    uint64_t reopens() const { return reopenCount.load(); }
    bool lost() const { return lostNow.load(); }

    static uint32_t channelMask(int channels);
    static int audioSamples(int bytes, int channels);
    // Why the driver's answers to the format calls cannot be used (empty when they can). *waitForSignal is set
    // when the card only has no picture yet (a zero size or rate), which another open may cure.
    static QString formatProblem(int32_t videoResult, const SldVideoFormat &video, int32_t audioResult,
                                 const SldAudioFormat &audio, bool *waitForSignal);

protected:
    void run() override;

private:
    enum class Session { Stopped, NotOpened, NoSignal, Failed, Refused };
    // One open of the card: reads until told to stop or until the reads fail for READ_FAILURE_LIMIT_MS; *frames
    // counts the frames it sent.
    Session readSession(const SldDriver &driver, uint64_t *frames, QString *why);
    void say(const QString &text) const;
    void loseCard(const QString &why);
    // False when told to stop during the pause.
    bool pause(int ms) const;

    int m_ind = -1;
    QString cardName;
    std::atomic<bool> running{false};
    std::shared_ptr<MFSink> sink;
    std::shared_ptr<MFFactory> factory;
    LogsDlg *logWindow = nullptr;
    std::shared_ptr<std::atomic<bool>> lostFlag;
    std::atomic<uint64_t> frameCount{0};
    std::atomic<uint64_t> failures{0};
    std::atomic<uint64_t> reopenCount{0};
    std::atomic<bool> lostNow{false};
    // The run's own: the stop time of the last frame sent.
    uint64_t lastStop = 0;
};
