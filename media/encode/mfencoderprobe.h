#pragma once

#include <QStringList>

// Which of the codec ids actually encode on this machine (hardware encoders need their device and
// driver): each is opened once per process with a tiny frame, and the answer is kept.
QStringList mfAvailableVideoCodecs();
// True when the codec id is in that list.
bool mfVideoCodecAvailable(const QString &id);
