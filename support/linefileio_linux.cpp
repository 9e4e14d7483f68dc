#include "linefileio.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace linefileio {

Opened openForAppend(const QString &path, int mode, int *fd, qint64 *size, QString *error) {
    // O_NONBLOCK: opening a FIFO for writing would otherwise wait until a reader comes. A regular file ignores
    // it for its writes.
    const int opened = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, mode_t(mode));
    if (opened < 0) {
        const int why = errno;
        if (why == ENXIO)
            return Opened::NotYet;
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(why));
        return Opened::Failed;
    }
    struct stat info {};
    *size = fstat(opened, &info) == 0 && S_ISREG(info.st_mode) ? qint64(info.st_size) : 0;
    *fd = opened;
    return Opened::Yes;
}

void closeFile(int fd) {
    if (fd >= 0)
        ::close(fd);
}

Written writeFrom(int fd, const char *data, qint64 size, qint64 *done, int waitMs) {
    while (*done < size) {
        const ssize_t result = ::write(fd, data + *done, size_t(size - *done));
        if (result > 0) {
            *done += result;
            continue;
        }
        if (result < 0 && errno == EINTR)
            continue;
        if (result == 0 || errno != EAGAIN)
            return Written::Gone;
        pollfd room{fd, POLLOUT, 0};
        const int ready = ::poll(&room, 1, waitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Written::NoRoom;
        if (room.revents & (POLLERR | POLLHUP | POLLNVAL))
            return Written::Gone;
    }
    return Written::All;
}

void ignoreBrokenPipeOnThisThread() {
    // Blocked rather than ignored: the disposition is the process's, the mask only this thread's. A SIGPIPE
    // raised by this thread's write then stays pending on it, harmless.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

} // namespace linefileio
