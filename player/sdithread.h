#pragma once

#include "mfformat.h"

#include <QString>
#include <QThread>
#include <mutex>

#include <atomic>
#include <memory>

class IMFReceiver;
class MFReader;
class MFRenderer;
class MFWriter;

// Carries the return feed from the worker's sink ("mp://" + sinkName) to the external output: a renderer
// device and line, or a recording file in the movies folder.
//
// Threads: configure(), setOutput() and startRecording() run on the GUI thread while run() may be inside
// a frame request; the output record and receiver are taken under one lock per request, and a frame
// fetched for an older configuration is dropped instead of reaching the new output.
class SdiThread : public QThread {
public:
    static constexpr int kIdlePollMs = 100;
    // A failed frame request is asked again after this pause, so that a missing sink never spins a core.
    static constexpr int kFailedReadPauseMs = 10;
    // How long the destructor waits for run() to end; it ends within a second of being told.
    static constexpr int kDestroyWaitMs = 3000;
    static constexpr int kVideoKbps = 5120;
    static constexpr int kAudioKbps = 128;

    explicit SdiThread(QObject *parent = nullptr);
    ~SdiThread() override;

    void configure(const QString &outputName, int videoFormat);
    void setOutput(const QString &outputName);
    void startRecording();
    // Asks run() to end soon, cutting a pending frame request short. Never waits.
    void stop();
    // Clears the stop request of the previous run; call before start().
    void prepareStart();
    // True from stop() until prepareStart().
    bool stopping() const { return stopRequested; }

    // The writer's option text for recordings.
    static QString recordingOptions();
    // ‹movies›/Tidewell/
    static QString recordingsFolder();
    // The device name and line index of an output list entry ("name ### line"); line -1 when none.
    static void splitOutputName(const QString &outputName, QString *device, int *line);
    // The file the last startRecording() chose; empty before.
    QString recordingPath() const;
    // True when the output device configured last has gone by itself (its screen was unplugged).
    bool deviceLost() const;
    MFFormat format() const;

    std::atomic<bool> outputEnabled{false};
    std::atomic<bool> running{false};
    QString sinkName; // set by the player before the first start

    std::shared_ptr<MFWriter> writer;
    std::shared_ptr<MFRenderer> renderer;

protected:
    void run() override;

private:
    void finishOutput(int configuration);

    // Serialises opening the output (configure) with ending it (run's finishOutput), which may take a moment.
    std::mutex outputLock;
    mutable std::mutex lock; // guards outputFormat, receiver, generation, path, reader
    MFFormat outputFormat;
    std::shared_ptr<IMFReceiver> receiver;
    int generation = 0; // counts configure() calls
    QString path;
    std::shared_ptr<MFReader> reader;
    std::atomic<bool> stopRequested{false};
};
