#include "machineinfo.h"

#include <QFile>
#include <QList>

#include <unistd.h>

namespace {

QByteArray readSmallFile(const char *path) {
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Files under /proc and /sys report size 0, so read until the end instead of by size.
    return file.readAll();
}

} // namespace

double cpuFrequencyHzFrom(const QByteArray &cpufreqMaxKhz, const QByteArray &cpuinfo) {
    bool ok = false;
    const double khz = cpufreqMaxKhz.trimmed().toDouble(&ok);
    if (ok && khz > 0.0)
        return khz * 1000.0;
    // Virtual machines often have no cpufreq; x86 kernels still print the clock they measured at boot.
    for (const QByteArray &line : cpuinfo.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon < 0 || line.left(colon).trimmed() != "cpu MHz")
            continue;
        const double mhz = line.mid(colon + 1).trimmed().toDouble(&ok);
        return ok && mhz > 0.0 ? mhz * 1e6 : 0.0;
    }
    return 0.0;
}

double cpuFrequencyHz() {
    return cpuFrequencyHzFrom(readSmallFile("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"),
                              readSmallFile("/proc/cpuinfo"));
}

int logicalProcessorCount() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? int(count) : 0;
}

uint64_t installedMemoryKb() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    return uint64_t(pages) * uint64_t(pageSize) / 1024u;
}
