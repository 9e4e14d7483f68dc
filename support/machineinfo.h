#pragma once

#include <QByteArray>

#include <cstdint>

// What the operating system tells about the machine; 0 where it tells nothing.

// The nominal CPU clock in Hz: the kernel's cpufreq maximum of CPU 0, else the first "cpu MHz" line of
// /proc/cpuinfo.
double cpuFrequencyHz();
// Parses the two kernel texts above (either may be empty).
double cpuFrequencyHzFrom(const QByteArray &cpufreqMaxKhz, const QByteArray &cpuinfo);
int logicalProcessorCount();
uint64_t installedMemoryKb();
