#pragma once

#include "mfformat.h"

#include <QString>

#include <cstdint>
#include <memory>

// One video frame with the audio samples that belong to its duration. Frames travel by counted
// reference from a source through the writer and the preview; nobody copies them on the way.
class IMFFrame {
public:
    virtual ~IMFFrame() = default;

    // Fills the record with the frame's format.
    virtual int MFFormatGet(MFFormat *format) const = 0;
    // Start and stop time in 100 ns units.
    virtual int MFTimeGet(int64_t *start, int64_t *stop) const = 0;
    virtual int MFTimeSet(int64_t start, int64_t stop) = 0;
    // An object attached to the frame by name (for example a mask frame); MF_E_NOTFOUND when absent.
    virtual int MFObjGet(const QString &name, std::shared_ptr<IMFFrame> *object) const = 0;
    virtual int MFObjSet(const QString &name, const std::shared_ptr<IMFFrame> &object) = 0;
    // Draws text in the cell markup into the picture, inside the rectangle (pixels).
    virtual int MFPrint(const QString &markup, double fontScale, double x, double y, double width, double height,
                        int flags, const QString &attributes) = 0;
    // Direct access to a packed picture (ARGB32, UYVY ...): first byte and bytes per row. Planar pictures
    // give plane 0. MF_E_UNSUPPORTED when the frame has no picture.
    virtual int MFPictureGet(uint8_t **data, int *stride) = 0;
    // Number of audio samples per channel carried with this frame.
    virtual int MFAudioSamples() const = 0;
};

using MFFramePtr = std::shared_ptr<IMFFrame>;
