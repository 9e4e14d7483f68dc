#pragma once

#include <QString>

// The platform's side of LineFileWriter: a file opened for appending without ever blocking (a FIFO without
// a reader included), and writes that wait for room only in short slices.
namespace linefileio {

enum class Opened { Yes, NotYet, Failed };

// Opens path for appending, creating it with mode; NotYet for a FIFO that has no reader. *size is the file's
// size now (0 for a FIFO).
Opened openForAppend(const QString &path, int mode, int *fd, qint64 *size, QString *error);
void closeFile(int fd);

enum class Written { All, NoRoom, Gone };

// Writes the buffer from *done on, adding to *done what went out; waits for room at most waitMs at a time.
// NoRoom when a FIFO stayed full that long, Gone when the file cannot be written any more (the FIFO's reader
// went away, the disk failed).
Written writeFrom(int fd, const char *data, qint64 size, qint64 *done, int waitMs);

// The calling thread receives no SIGPIPE from here on: a write to a FIFO whose reader went away fails with
// EPIPE instead of ending the process.
void ignoreBrokenPipeOnThisThread();

} // namespace linefileio
