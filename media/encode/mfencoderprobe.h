#pragma once

#include <QStringList>

struct MFCodecEntry;

// Which of the codec ids actually encode on this machine (hardware encoders need their device and
// driver): each is opened once per process with a tiny frame, and the answer is kept.
QStringList mfAvailableVideoCodecs();
// True when the codec id is in that list.
bool mfVideoCodecAvailable(const QString &id);
// One probe: whether the entry's encoder opens and encodes a tiny frame here, its VAAPI encoder looking for render
// nodes in the given directory; false with the reason in *why.
bool mfProbeVideoCodec(const MFCodecEntry &entry, const QString &renderNodeDirectory, QString *why);
