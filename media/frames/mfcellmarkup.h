#pragma once

// The text markup frames draw: a run of cells "<text bg-color='white'>  </text>", each cell as wide as
// its characters, with plain text between tags drawn in the default attributes. Media-internal.

#include <QString>
#include <QVector>

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

struct MFCell {
    int characters = 0;  // width share: the number of characters of the cell
    bool filled = false; // false: no background, the picture shows through
    uint8_t red = 0, green = 0, blue = 0;
};

// Colour names ("black", "white", "red" ...) and "#rgb" / "#rrggbb"; false when unknown.
bool mfParseColor(const QString &text, uint8_t *red, uint8_t *green, uint8_t *blue);

// The cells of a markup text. attributes: defaults for text outside or without its own "bg-color",
// written as in a tag ("face='Times New Roman' bg-color='black'").
QVector<MFCell> mfParseCellMarkup(const QString &markup, const QString &attributes);

// Fills a rectangle (clipped to the picture) with an RGB colour in the frame's own pixel format: 8-bit
// YUV (planar, semi-planar, packed 4:2:2) and 8-bit packed RGB with or without alpha. Negative when the
// pixel format is not one of those.
int mfFillRect(AVFrame *frame, int x, int y, int width, int height, uint8_t red, uint8_t green, uint8_t blue);
