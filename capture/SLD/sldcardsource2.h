#pragma once

#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <memory>

class MFFactory;
class MFSink;

// Reads video and audio from one capture card through the card driver and hands each pair, as one
// frame, to a named in-process sink; the live source then captures "mp://" + the sink name.
// startCard and stopCard are called from one thread at a time (GUI or capture thread); the read loop
// runs on the card thread.
class SLDCardSource2 : public QThread {
public:
    // Bound on waiting for the card thread: one driver read returns within a frame period.
    static constexpr int STOP_WAIT_MS = 3000;
    // A card that fails every read for this long ends its run.
    static constexpr int READ_FAILURE_LIMIT_MS = 2000;
    static constexpr int AUDIO_BUFFER_BYTES = 200000;
    static constexpr int NO_FRAME_POLL_MS = 2;

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

    int cardIndex() const { return m_ind; }
    uint64_t framesSent() const { return frameCount.load(); }
    uint64_t readFailures() const { return failures.load(); }

    static uint32_t channelMask(int channels);
    static int audioSamples(int bytes, int channels);

protected:
    void run() override;

private:
    int m_ind = -1;
    std::atomic<bool> running{false};
    std::shared_ptr<MFSink> sink;
    std::shared_ptr<MFFactory> factory;
    std::atomic<uint64_t> frameCount{0};
    std::atomic<uint64_t> failures{0};
};
