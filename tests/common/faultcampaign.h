#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// A fault campaign: the program runs headless from a configuration file (-platform offscreen, --stats) against
// real peers while faults happen in turn, and each fault's outcome is measured from what the server received and
// what the program's statistics file said. Two legs, one run of the program each:
//
//   SRT: the fake capture card (tests/capture/fakesldcard.cpp) to srt-live-transmit on the loopback. The card fails
//        for 3 s (FAKE_SLD_FAIL_AFTER, FAKE_SLD_FAIL_MS); then the listener is killed and, once the program has
//        noticed, started again on its port.
//   RIST: the Test Pattern over the two veth paths of ristpathtopology.h to ristreceiver. The encoder fails to
//        connect once: the sender namespace's loopback is down while the first run's encoder connects to its relay,
//        until the program has given that run up; then the receiver is killed and started again, both paths' veths
//        are deleted and re-created, and one path's veth is.
//
// The test runs it once and holds each fault to its bound; the benchmark runs it several times and prints a table.
namespace faultcampaign {

struct Outcome {
    QString fault;
    // False when the fault could not be made to happen as planned (problem says why); the figures are then void.
    bool provoked = false;
    QString problem;
    // From the fault's end until the server received the stream again; -1 when it did not within the campaign's
    // bound (20 s).
    double backSeconds = -1;
    // Time in which the program's state was "sending" while the server got nothing (no byte for half a second),
    // from the fault's start until the stream was back.
    double blindSeconds = 0;
    // The program's states (the --stats keys) from the fault's start until the stream was back, each once in turn.
    QStringList states;
    // One path: from its return until it carried again (its share of the stream); -1 when it did not within 15 s,
    // which is a problem too.
    double pathCarriesSeconds = -1;
};

struct Options {
    QString program;    // the tidewell executable
    QString cardDriver; // the fake capture card driver library
    // Data flows this long between two faults.
    int settleMs = 1500;
    // How long one path stays away.
    int onePathDownMs = 3000;
};

// Builds the network namespaces and moves this process into the sender's: call first in main, while the process
// has one thread (every thread and program started later is there too). Empty when the campaign can run, else why
// not.
QString prepare();
// Removes the namespaces.
void cleanUp();

// Runs both legs; the calling thread's event loop runs meanwhile. progress, when given, hears each step.
QList<Outcome> run(const Options &options, const std::function<void(const QString &)> &progress = {});

} // namespace faultcampaign
