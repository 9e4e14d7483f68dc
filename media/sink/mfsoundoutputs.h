#pragma once

// The sound outputs the renderer offers as "line-out" choices: the PulseAudio server's sinks (PipeWire's
// Pulse server alike), by their description, the server's default sink first and the others in the
// server's order. A description two sinks share is told apart by the sink's name.

#include <QList>
#include <QString>

struct MFSoundOutput {
    QString name;        // the server's name of the sink, what a playback stream is opened on
    QString description; // what the operator sees
};

// Empty when no server answers within timeoutMs.
QList<MFSoundOutput> mfListSoundOutputs(int timeoutMs);
