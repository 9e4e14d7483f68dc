#include "signalquitter.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Written once before the handlers are installed, then only read inside them.
int pipeFds[2] = {-1, -1};

void onSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a pending request; losing this byte changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &number, 1);
    errno = savedErrno;
}

bool makePipe() {
    if (pipeFds[0] >= 0)
        return true;
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipeFds[0] = pipeFds[1] = -1;
        return false;
    }
    return true;
}
} // namespace

SignalQuitter::SignalQuitter(QObject *parent) : QObject(parent) {}

SignalQuitter::~SignalQuitter() {
    if (!notifier)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool SignalQuitter::install() {
    if (notifier)
        return true;
    if (!makePipe())
        return false;
    notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalQuitter::readPipe);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

void SignalQuitter::readPipe() {
    unsigned char number = 0;
    int last = 0;
    while (::read(pipeFds[0], &number, 1) == 1)
        last = number;
    if (last == 0)
        return;
    received = last;
    emit stopRequested(last);
}
