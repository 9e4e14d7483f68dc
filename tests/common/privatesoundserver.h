#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A PulseAudio server of the test's own, with null sinks only: their monitors record what is played to them.
// Everything the server keeps lives in a temporary directory; nothing touches a desktop session's server.
// From its first start on, PULSE_SERVER names it for the test process (and the programs it starts), also while
// it is stopped to be started again; the previous value comes back when the object goes.
class PrivateSoundServer {
public:
    struct Sink {
        QString name;
        QString description; // empty: the server's own ("Null Output")
        int rate = 48000;
    };

    explicit PrivateSoundServer(const QList<Sink> &sinks);
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer &) = delete;
    PrivateSoundServer &operator=(const PrivateSoundServer &) = delete;

    // Starts the server (again, after stop(), on the same socket) and waits until it answers; false with *why
    // when pulseaudio or pactl is missing or the server does not come up.
    bool start(QString *why);
    void stop();
    bool pactl(const QStringList &arguments, QByteArray *output = nullptr) const;

private:
    QList<Sink> sinks;
    QTemporaryDir home;
    QProcess server;
    bool overriding = false;
    bool hadServer = false;
    QByteArray previousServer;
};
