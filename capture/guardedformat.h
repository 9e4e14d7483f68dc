#pragma once

#include "mfformat.h"

#include <QMutex>
#include <QMutexLocker>

// A format record written by one thread and read whole by another. The record is far wider than any
// atomic word, so a short lock keeps a reader from seeing half of an old and half of a new format.
class GuardedFormat {
public:
    MFFormat load() const {
        QMutexLocker locker(&lock);
        return value;
    }
    void store(const MFFormat &format) {
        QMutexLocker locker(&lock);
        value = format;
    }

private:
    mutable QMutex lock;
    MFFormat value;
};
