#pragma once

#include <QObject>
#include <QSharedMemory>

// Gives each running copy of the program its own index (0 for the first, then 1, 2, ...) through a 4-byte
// shared-memory segment that every copy opens under the same key.
class InstanceCounter : public QObject {
    Q_OBJECT

public:
    explicit InstanceCounter(QObject *parent = nullptr);
    // A different key keeps tests apart from a running program and from each other.
    InstanceCounter(const QString &key, QObject *parent);

    // Creates or attaches the segment and returns this copy's index; 0 when the segment cannot be used.
    // The attachment is kept for the life of this object.
    int instanceIndex();

    // The instance letter: 'A' for 0, 'B' for 1, and onwards through the character codes.
    static QChar instanceLetter(int index);

private:
    QSharedMemory shared;
};
