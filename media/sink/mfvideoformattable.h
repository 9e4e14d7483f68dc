#pragma once

#include <QVector>

// The named video standards an output can be driven in: the code a format record carries in videoFormat,
// its display name, and the picture size, frame rate and scanning the code stands for. The conversion
// fills unset fields of a record from here, and the player offers the rows in this order.
class MFVideoFormatTable {
public:
    struct Entry {
        const char *name;
        int code;
        int width;
        int height;
        double frameRate;
        int interlace; // MFInterlace
    };

    // Every row, in the order an output list offers them (not code order).
    static const QVector<Entry> &entries();
    // The row of a code; nullptr for 0 and for codes that are not offered.
    static const Entry *find(int code);
};
