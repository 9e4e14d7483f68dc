#pragma once

#include <QList>
#include <QSize>
#include <QString>

#include <cstdint>

// Picks the capture mode of a camera nearest to the size and rate the capture asks for.
class V4L2FormatChooser {
public:
    struct Mode {
        QString inputFormat; // FFmpeg's name for the camera's pixel format: "mjpeg", "yuyv422" ...
        QSize size;
        double frameRate = 0.0;
    };

    static constexpr int DEFAULT_WIDTH = 1920;
    static constexpr int DEFAULT_HEIGHT = 1080;
    static constexpr double DEFAULT_FRAME_RATE = 30.0;

    // Index of the nearest mode, -1 for an empty list. An empty size or a rate of 0 means "no wish" and
    // stands for 1920x1080 at 30 fps. Distances are ratios (a mode half as large is as far as one twice
    // as large), except that falling short costs double: a smaller picture than asked for loses detail
    // and a lower rate judders, while a larger or faster one is only scaled or dropped. The size weighs
    // as much as the rate; on equal distance the mode listed first wins.
    static int nearest(const QList<Mode> &modes, QSize wantedSize, double wantedRate);

    // FFmpeg's input_format name for a V4L2 fourcc, empty when FFmpeg's v4l2 input cannot take it.
    static QString inputFormatName(uint32_t fourcc);
};
