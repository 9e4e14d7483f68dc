#include "instancecounter.h"

#include <QDebug>

#include <cstring>

namespace {
const char instanceKey[] = "6f1d2c9a4e8b47d3a05c3e7b9d12f864";
} // namespace

InstanceCounter::InstanceCounter(QObject *parent) : InstanceCounter(QString::fromLatin1(instanceKey), parent) {}

InstanceCounter::InstanceCounter(const QString &key, QObject *parent) : QObject(parent), shared(key) {}

int InstanceCounter::instanceIndex() {
    {
        // A copy that crashed or was killed never detached, and the system keeps its segment with no one
        // attached; the count would then go on from a copy that is gone. Detaching the last attachment removes
        // the segment, while one held by a running copy survives this probe. Qt's system-wide lock covers both
        // calls, so a copy creating the segment at the same moment is not caught between its create and attach.
        QSharedMemory probe(shared.key());
        if (probe.attach(QSharedMemory::ReadOnly))
            probe.detach();
    }
    if (shared.create(sizeof(qint32), QSharedMemory::ReadWrite)) {
        // A new segment comes zero-filled from the system, which already says "index 0". Writing the 0 here
        // would race: a second copy may attach and store its 1 between our create and our lock, and
        // overwriting that would hand index 1 out twice.
        return 0;
    }
    qDebug() << "shared:  create failed:" << shared.errorString();
    if (shared.error() != QSharedMemory::AlreadyExists) {
        qDebug() << "shared: wrong ";
        return 0;
    }
    qDebug() << "shared: all normal";
    if (!shared.attach(QSharedMemory::ReadWrite)) {
        qDebug() << "shared: attach error";
        return 0;
    }
    if (!shared.lock())
        return 0;
    qint32 value = 0;
    std::memcpy(&value, shared.constData(), sizeof value);
    ++value;
    std::memcpy(shared.data(), &value, sizeof value);
    shared.unlock();
    return value;
}

QChar InstanceCounter::instanceLetter(int index) {
    return QChar(ushort('A' + index));
}
