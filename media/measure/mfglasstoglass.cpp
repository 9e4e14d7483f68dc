#include "mfglasstoglass.h"

#include "mfvitcreader.h"

#include <QCoreApplication>

#include <chrono>

namespace {
int64_t steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

void MFGlassToGlass::measure(const IMFFrame &frame, const QDateTime &now) {
    MFVitcCode code;
    if (!MFVitcReader::read(frame, &code))
        return;
    latencyMs.store(code.latencyMs(now));
    readAtMs.store(steadyMs());
}

bool MFGlassToGlass::latest(qint64 *ms) const {
    const int64_t readAt = readAtMs.load();
    if (readAt == INT64_MIN || steadyMs() - readAt > kStaleMs)
        return false;
    if (ms)
        *ms = latencyMs.load();
    return true;
}

void MFGlassToGlass::reset() {
    readAtMs.store(INT64_MIN);
}

QString MFGlassToGlass::text(qint64 ms) {
    return QCoreApplication::translate("MFGlassToGlass", "glass-to-glass %1 ms").arg(ms);
}
