#include "v4l2formatchooser.h"

#include <linux/videodev2.h>

#include <cmath>

namespace {
constexpr double SHORTFALL_WEIGHT = 2.0;

double ratioDistance(double offered, double wanted) {
    if (!(offered > 0.0) || !(wanted > 0.0))
        return 1e9;
    const double distance = std::log(offered / wanted);
    return distance < 0.0 ? -distance * SHORTFALL_WEIGHT : distance;
}
} // namespace

int V4L2FormatChooser::nearest(const QList<Mode> &modes, QSize wantedSize, double wantedRate) {
    if (wantedSize.isEmpty())
        wantedSize = QSize(DEFAULT_WIDTH, DEFAULT_HEIGHT);
    if (!(wantedRate > 0.0))
        wantedRate = DEFAULT_FRAME_RATE;
    const double wantedArea = double(wantedSize.width()) * wantedSize.height();
    int best = -1;
    double bestCost = 0.0;
    for (int i = 0; i < modes.size(); ++i) {
        const Mode &mode = modes.at(i);
        const double area = double(mode.size.width()) * mode.size.height();
        const double cost = ratioDistance(area, wantedArea) + ratioDistance(mode.frameRate, wantedRate);
        if (best < 0 || cost < bestCost - 1e-9) {
            best = i;
            bestCost = cost;
        }
    }
    return best;
}

QString V4L2FormatChooser::inputFormatName(uint32_t fourcc) {
    switch (fourcc) {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return QStringLiteral("mjpeg");
    case V4L2_PIX_FMT_YUYV:
        return QStringLiteral("yuyv422");
    case V4L2_PIX_FMT_UYVY:
        return QStringLiteral("uyvy422");
    case V4L2_PIX_FMT_NV12:
        return QStringLiteral("nv12");
    case V4L2_PIX_FMT_YUV420:
        return QStringLiteral("yuv420p");
    case V4L2_PIX_FMT_H264:
        return QStringLiteral("h264");
    default:
        return {};
    }
}
