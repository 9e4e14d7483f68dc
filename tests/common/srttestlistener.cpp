#include "srttestlistener.h"

#include <QMutexLocker>

#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

constexpr int kPollMs = 50;
// Large enough for any live message and a generous file-mode read.
constexpr int kReceiveBufferSize = 65536;

int intFlag(int socket, SRT_SOCKOPT option) {
    int value = 0;
    int length = sizeof(value);
    srt_getsockflag(socket, option, &value, &length);
    return value;
}

} // namespace

SrtTestListener::SrtTestListener() : SrtTestListener(Options()) {}

SrtTestListener::SrtTestListener(const Options &options) : options(options) {
    srt_startup();
}

SrtTestListener::~SrtTestListener() {
    stop();
    srt_cleanup();
}

bool SrtTestListener::start() {
    listener = srt_create_socket();
    if (listener == SRT_INVALID_SOCK) {
        error = QString::fromLocal8Bit(srt_getlasterror_str());
        return false;
    }
    const int no = 0;
    srt_setsockflag(listener, SRTO_RCVSYN, &no, sizeof(no));
    const int type = options.fileMode ? SRTT_FILE : SRTT_LIVE;
    srt_setsockflag(listener, SRTO_TRANSTYPE, &type, sizeof(type));
    if (!options.passphrase.isEmpty()) {
        const QByteArray secret = options.passphrase.toLocal8Bit();
        srt_setsockflag(listener, SRTO_PASSPHRASE, secret.constData(), secret.size());
        srt_setsockflag(listener, SRTO_PBKEYLEN, &options.keyLength, sizeof(options.keyLength));
    }

    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (srt_bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        srt_listen(listener, 8) != 0) {
        error = QString::fromLocal8Bit(srt_getlasterror_str());
        srt_close(listener);
        listener = -1;
        return false;
    }
    int length = sizeof(address);
    srt_getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    listenPort = ntohs(address.sin_port);

    epoll = srt_epoll_create();
    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(epoll, listener, &events);
    running = true;
    worker = std::thread([this] { loop(); });
    return true;
}

void SrtTestListener::stop() {
    running = false;
    if (worker.joinable())
        worker.join();
    for (int socket : sockets)
        srt_close(socket);
    sockets.clear();
    if (epoll != -1)
        srt_epoll_release(epoll);
    epoll = -1;
    if (listener != -1)
        srt_close(listener);
    listener = -1;
}

QList<SrtTestListener::Caller> SrtTestListener::callers() const {
    QMutexLocker locker(&mutex);
    // A deep copy: once the caller drops a shared copy, the loop appends in place, and implicit sharing reads
    // its count with a relaxed load, which orders nothing between the two threads.
    QList<Caller> copy;
    for (const Caller &recordedCaller : recorded) {
        Caller caller = recordedCaller;
        caller.messageSizes = QList<int>(recordedCaller.messageSizes.cbegin(), recordedCaller.messageSizes.cend());
        caller.data = QByteArray(recordedCaller.data.constData(), recordedCaller.data.size());
        copy.append(caller);
    }
    return copy;
}

int SrtTestListener::callerCount() const {
    QMutexLocker locker(&mutex);
    return recorded.size();
}

qint64 SrtTestListener::bytesReceived() const {
    QMutexLocker locker(&mutex);
    return totalBytes;
}

void SrtTestListener::loop() {
    SRT_EPOLL_EVENT ready[16];
    while (running) {
        const int count = srt_epoll_uwait(epoll, ready, 16, kPollMs);
        for (int i = 0; i < count; ++i) {
            if (ready[i].fd == listener) {
                const int accepted = srt_accept(listener, nullptr, nullptr);
                if (accepted == SRT_INVALID_SOCK)
                    continue;
                Caller caller;
                char id[600];
                int idLength = sizeof(id);
                if (srt_getsockflag(accepted, SRTO_STREAMID, id, &idLength) == 0)
                    caller.streamId = QString::fromLocal8Bit(id, idLength);
                caller.keyLength = intFlag(accepted, SRTO_PBKEYLEN);
                caller.secured = intFlag(accepted, SRTO_KMSTATE) == SRT_KM_S_SECURED;
                {
                    QMutexLocker locker(&mutex);
                    recorded.append(caller);
                }
                sockets.append(accepted);
                const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
                srt_epoll_add_usock(epoll, accepted, &events);
            } else {
                receive(ready[i].fd);
            }
        }
    }
}

void SrtTestListener::receive(int socket) {
    const int index = sockets.indexOf(socket);
    if (index < 0)
        return;
    static thread_local char buffer[kReceiveBufferSize];
    for (;;) {
        const int received = srt_recvmsg(socket, buffer, sizeof(buffer));
        if (received > 0) {
            QMutexLocker locker(&mutex);
            recorded[index].messageSizes.append(received);
            recorded[index].data.append(buffer, received);
            totalBytes += received;
            continue;
        }
        if (received < 0 && srt_getlasterror(nullptr) == SRT_EASYNCRCV)
            return;
        // Broken or closed by the caller: keep what it sent, stop watching it.
        srt_epoll_remove_usock(epoll, socket);
        QMutexLocker locker(&mutex);
        recorded[index].closed = true;
        return;
    }
}
