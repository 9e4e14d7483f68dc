#include "tscontinuity.h"

namespace {
constexpr int kPacket = 188;
constexpr char kSync = 0x47;
constexpr int kNullPid = 0x1fff;
} // namespace

void TsContinuity::feed(const QByteArray &bytes) {
    pending += bytes;
    int at = 0;
    while (pending.size() - at >= kPacket) {
        if (pending.at(at) != kSync) {
            ++at;
            ++skipped;
            continue;
        }
        packet(pending.constData() + at);
        at += kPacket;
    }
    pending.remove(0, at);
}

void TsContinuity::packet(const char *p) {
    ++packetCount;
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    const int pid = ((u[1] & 0x1f) << 8) | u[2];
    if (pid == kNullPid) {
        ++nullCount;
        return;
    }
    const int control = (u[3] >> 4) & 0x3;
    const bool payload = control & 0x1;
    const bool adaptation = control & 0x2;
    const int counter = u[3] & 0x0f;
    PidState &state = pids[pid];
    // A discontinuity indicator lets the counter start anew.
    const bool discontinuity = adaptation && u[4] > 0 && (u[5] & 0x80);
    if (state.counter < 0 || discontinuity) {
        state.counter = counter;
        state.repeated = false;
        return;
    }
    // Without payload the counter does not advance.
    const int expected = payload ? (state.counter + 1) & 0x0f : state.counter;
    if (counter == expected) {
        state.counter = counter;
        state.repeated = false;
        return;
    }
    if (payload && counter == state.counter && !state.repeated) {
        state.repeated = true;
        return;
    }
    ++errors;
    missing += (counter - expected + 16) & 0x0f;
    state.counter = counter;
    state.repeated = false;
}

double TsContinuity::syncShare(const QByteArray &data) {
    int places = 0;
    int synced = 0;
    for (int i = 0; i < data.size(); i += kPacket, ++places)
        synced += data[i] == char(0x47);
    return places ? double(synced) / places : 0.0;
}
