#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>
#include <memory>

// Appends lines to a file on a thread of its own, so that the caller never waits for the disk or for whoever
// reads the file: a FIFO nobody reads yet is opened once a reader comes, a reader that stopped reading only
// makes the queue drop its oldest lines. Optionally the file is rotated by size (path, path.1, ... path.N).
//
// Threads: append and the destructor run on any one thread at a time; the queue is the only shared state,
// under one mutex. Each line is written whole (one write, shorter than a pipe's atomic size for the records
// this carries), so that a reader never sees half a line.
class LineFileWriter final : public QThread {
public:
    struct Options {
        // 0: never rotated.
        qint64 rotateBytes = 0;
        // Rotated files kept besides the current one.
        int keptFiles = 0;
        // Lines waiting for the file beyond this are dropped, oldest first.
        int queueLines = 1000;
        // Creates the file's folder (with its parents) when it is missing.
        bool createFolder = false;
        // Mode of a file this creates (before the umask).
        int mode = 0666;
    };
    // A file that cannot be opened, or a FIFO without a reader, is tried again at this pace.
    static constexpr int kReopenMs = 500;
    // Waits inside the thread (for lines, for a FIFO with room) are sliced this fine, so that it ends promptly.
    static constexpr int kSliceMs = 100;
    // On destruction, lines still queued get this long to reach the file.
    static constexpr int kFinishWaitMs = 1000;

    // Starts the thread at once.
    LineFileWriter(const QString &path, const Options &options);
    // Finishes (bounded); owners that may meet a write stuck in the kernel use retire instead.
    ~LineFileWriter() override;
    LineFileWriter(const LineFileWriter &) = delete;
    LineFileWriter &operator=(const LineFileWriter &) = delete;

    // Whether the file can be appended to, without waiting: a FIFO that has no reader yet counts as openable.
    // False with the reason otherwise (missing folder, no permission, a folder of that name).
    static bool probe(const QString &path, QString *error);

    // Asks the thread to end once the queued lines are written (at most kFinishWaitMs), and waits for it at
    // most timeoutMs; true when it has ended.
    bool finish(int timeoutMs);
    // Finishes the writer and frees it, or leaves it behind (reported) when its thread does not end.
    static void retire(std::unique_ptr<LineFileWriter> writer);

    // Queues one line (a line feed is added). Never waits for the file.
    void append(const QByteArray &line);
    QString path() const { return filePath; }
    // Lines dropped so far because the file did not take them in time.
    uint64_t droppedLines() const { return dropped.load(); }

protected:
    void run() override;

private:
    bool openFile();
    void closeFile();
    void rotate();

    const QString filePath;
    const Options options;
    // Guards queue and stopping; wake is signalled when either changes.
    QMutex lock;
    QWaitCondition wake;
    QList<QByteArray> queue;
    bool stopping = false;
    std::atomic<uint64_t> dropped{0};
    // The run's own: the open file, its size, and whether the last open failed (said once per streak).
    int fd = -1;
    qint64 written = 0;
    bool openFailed = false;
};
