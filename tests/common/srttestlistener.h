#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>

#include <atomic>
#include <thread>

// A small SRT listener on 127.0.0.1 (port from the OS) for tests: it accepts any number of callers one after
// another or side by side and records, for each, the stream id it sent, the key length and encryption state it
// ended up with, the size of every message received and the bytes themselves.
class SrtTestListener {
public:
    struct Options {
        // Empty: no encryption. Otherwise callers must present the same passphrase (encryption is enforced).
        QString passphrase;
        int keyLength = 0;
        // File (lossless) transmission type; a live caller cannot connect to a file listener and vice versa.
        bool fileMode = false;
    };

    struct Caller {
        QString streamId;
        int keyLength = 0;
        bool secured = false;
        QList<int> messageSizes;
        QByteArray data;
        bool closed = false;
    };

    SrtTestListener();
    explicit SrtTestListener(const Options &options);
    ~SrtTestListener();
    SrtTestListener(const SrtTestListener &) = delete;
    SrtTestListener &operator=(const SrtTestListener &) = delete;

    // Opens the listener and starts its thread; false (with errorText()) if the socket could not be set up.
    bool start();
    void stop();
    quint16 port() const { return listenPort; }
    QString errorText() const { return error; }

    // Snapshots, safe to call while the listener runs.
    QList<Caller> callers() const;
    int callerCount() const;
    qint64 bytesReceived() const;

private:
    void loop();
    void receive(int socket);

    Options options;
    int listener = -1;
    int epoll = -1;
    quint16 listenPort = 0;
    QString error;
    std::atomic<bool> running{false};
    std::thread worker;
    // Guards recorded and totalBytes.
    mutable QMutex mutex;
    QList<Caller> recorded;
    QList<int> sockets; // parallel to recorded; only touched by the worker thread
    qint64 totalBytes = 0;
};
