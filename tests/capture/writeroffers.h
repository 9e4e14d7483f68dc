#pragma once

#include "mfwriter.h"

#include <QString>

#include <memory>

// True when the writer lists the codec id, i.e. its encoder opens on this machine.
inline bool writerOffers(const QString &codec) {
    std::shared_ptr<MFWriter> writer = MFWriter::create();
    int count = 0;
    if (!writer || writer->WriterOptionGetCount(MFWriter::VideoCodec, &count) < 0)
        return false;
    for (int i = 0; i < count; ++i) {
        QString name;
        QString description;
        if (writer->WriterOptionGetByIndex(MFWriter::VideoCodec, i, &name, &description) >= 0 && name == codec)
            return true;
    }
    return false;
}
