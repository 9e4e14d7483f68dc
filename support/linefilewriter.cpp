#include "linefilewriter.h"

#include "linefileio.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

LineFileWriter::LineFileWriter(const QString &path, const Options &options) : filePath(path), options(options) {
    // Names the OS thread, so that one left behind can be found.
    setObjectName(QStringLiteral("LineFileWriter"));
    start(QThread::LowPriority);
}

LineFileWriter::~LineFileWriter() {
    if (!finish(kFinishWaitMs + 2 * kSliceMs))
        qCritical() << "LineFileWriter: the writer of" << filePath << "is still inside a write";
}

bool LineFileWriter::finish(int timeoutMs) {
    {
        QMutexLocker locker(&lock);
        stopping = true;
        wake.wakeAll();
    }
    return wait(QDeadlineTimer(timeoutMs));
}

void LineFileWriter::retire(std::unique_ptr<LineFileWriter> writer) {
    if (!writer || writer->finish(kFinishWaitMs + 2 * kSliceMs))
        return;
    // Destroying a running thread aborts the process; a write stuck in the kernel is left to end with it.
    qCritical() << "LineFileWriter: the writer of" << writer->path() << "did not end and is left behind";
    writer.release();
}

bool LineFileWriter::probe(const QString &path, QString *error) {
    int fd = -1;
    qint64 size = 0;
    switch (linefileio::openForAppend(path, 0666, &fd, &size, error)) {
    case linefileio::Opened::Yes:
        linefileio::closeFile(fd);
        return true;
    case linefileio::Opened::NotYet:
        return true;
    case linefileio::Opened::Failed:
        break;
    }
    return false;
}

void LineFileWriter::append(const QByteArray &line) {
    QMutexLocker locker(&lock);
    if (queue.size() >= options.queueLines) {
        queue.removeFirst();
        if (dropped.fetch_add(1) == 0)
            qWarning() << "LineFileWriter:" << filePath << "does not keep up, its oldest lines are dropped";
    }
    queue.append(line);
    wake.wakeOne();
}

bool LineFileWriter::openFile() {
    if (options.createFolder)
        QDir().mkpath(QFileInfo(filePath).absolutePath());
    QString error;
    switch (linefileio::openForAppend(filePath, options.mode, &fd, &written, &error)) {
    case linefileio::Opened::Yes:
        openFailed = false;
        return true;
    case linefileio::Opened::NotYet:
        // A FIFO whose reader has not come yet: nothing to say, it is opened when one does.
        return false;
    case linefileio::Opened::Failed:
        if (!openFailed)
            qWarning() << "LineFileWriter: cannot append to" << filePath << ":" << error;
        openFailed = true;
        return false;
    }
    return false;
}

void LineFileWriter::closeFile() {
    linefileio::closeFile(fd);
    fd = -1;
    written = 0;
}

void LineFileWriter::rotate() {
    closeFile();
    const auto numbered = [this](int n) {
        return n == 0 ? filePath : filePath + QLatin1Char('.') + QString::number(n);
    };
    QFile::remove(numbered(options.keptFiles));
    for (int n = options.keptFiles; n >= 1; --n)
        QFile::rename(numbered(n - 1), numbered(n));
    openFile();
}

void LineFileWriter::run() {
    linefileio::ignoreBrokenPipeOnThisThread();
    QByteArray current; // the line under way, with its line feed; null when none
    qint64 done = 0;    // how much of it went out
    QElapsedTimer clock;
    clock.start();
    qint64 giveUpAtMs = -1;
    qint64 lastOpenMs = -kReopenMs;
    for (;;) {
        bool stop = false;
        bool work = false;
        {
            QMutexLocker locker(&lock);
            if (current.isNull() && queue.isEmpty() && !stopping)
                wake.wait(&lock, kSliceMs);
            stop = stopping;
            work = !current.isNull() || !queue.isEmpty();
        }
        if (stop) {
            if (!work)
                break;
            if (giveUpAtMs < 0)
                giveUpAtMs = clock.elapsed() + kFinishWaitMs;
            if (clock.elapsed() >= giveUpAtMs)
                break;
        }
        if (!work)
            continue;
        // Opened before a line is taken: while nobody reads, the queue alone holds the lines, newest kept.
        if (fd < 0) {
            if (clock.elapsed() - lastOpenMs < kReopenMs) {
                QThread::msleep(kSliceMs);
                continue;
            }
            lastOpenMs = clock.elapsed();
            if (!openFile())
                continue;
        }
        if (current.isNull()) {
            QMutexLocker locker(&lock);
            if (queue.isEmpty())
                continue;
            current = queue.takeFirst() + '\n';
            done = 0;
        }
        if (options.rotateBytes > 0 && done == 0 && written > 0 && written + current.size() > options.rotateBytes) {
            rotate();
            if (fd < 0)
                continue;
        }
        switch (linefileio::writeFrom(fd, current.constData(), current.size(), &done, kSliceMs)) {
        case linefileio::Written::All:
            written += current.size();
            current = QByteArray();
            break;
        case linefileio::Written::NoRoom:
            // A reader that does not read: the queue keeps the newest lines meanwhile.
            break;
        case linefileio::Written::Gone:
            qWarning() << "LineFileWriter: writing to" << filePath << "failed; it is opened again";
            closeFile();
            // Half a line would join the next reader's first one; a line not begun waits for it.
            if (done > 0)
                current = QByteArray();
            break;
        }
    }
    uint64_t left = 0;
    {
        QMutexLocker locker(&lock);
        left = uint64_t(queue.size()) + (current.isNull() ? 0 : 1);
        queue.clear();
    }
    if (left > 0) {
        dropped.fetch_add(left);
        qWarning() << "LineFileWriter:" << left << "lines did not reach" << filePath;
    }
    closeFile();
}
