#include "mfvitcreader.h"

#include "mfframe.h"

#include <algorithm>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

constexpr int kGroupBits = 10;
constexpr int kGroups = 9;
constexpr int kCheckStart = 82;
constexpr int kCheckBits = 8;
// The strip covers this many rows at the bottom of the picture.
constexpr int kStripRows = 3;
// Between black and white cells at least this much luma difference, or the strip is not there.
constexpr int kMinimumContrast = 64;
constexpr qint64 kMsPerDay = 24LL * 3600 * 1000;

int digit(const uint8_t *bits, int at, int width) {
    int value = 0;
    for (int k = 0; k < width; ++k)
        value |= bits[at + k] << k;
    return value;
}

// Tens of frames and of hours have one bit for 1 and one for 2; both set is no digit.
int shortTens(const uint8_t *bits, int at) {
    if (bits[at] && bits[at + 1])
        return -1;
    return bits[at] ? 1 : (bits[at + 1] ? 2 : 0);
}

} // namespace

int MFVitcCode::frameInSecond(double frameRate) const {
    if (frameRate > 31.0)
        return frames * 2 + ((frameRate >= 55.0 ? flag35 : flag75) ? 1 : 0);
    return frames;
}

QDateTime MFVitcCode::stampedTime(const QDateTime &reference) const {
    const QDateTime utc = reference.toUTC();
    const qint64 dayStart = utc.toMSecsSinceEpoch() - utc.time().msecsSinceStartOfDay();
    qint64 stamped = dayStart + ((hours * 60 + minutes) * 60 + seconds) * 1000LL + (userBits % 1000);
    const qint64 ahead = stamped - utc.toMSecsSinceEpoch();
    if (ahead > kMsPerDay / 2)
        stamped -= kMsPerDay;
    else if (ahead < -kMsPerDay / 2)
        stamped += kMsPerDay;
    return QDateTime::fromMSecsSinceEpoch(stamped, Qt::UTC);
}

qint64 MFVitcCode::latencyMs(const QDateTime &reference) const {
    return reference.toMSecsSinceEpoch() - stampedTime(reference).toMSecsSinceEpoch();
}

bool MFVitcReader::decode(const uint8_t bits[kBits], MFVitcCode *code) {
    for (int g = 0; g < kGroups; ++g)
        if (bits[g * kGroupBits] != 1 || bits[g * kGroupBits + 1] != 0)
            return false;
    for (int j = 0; j < kCheckBits; ++j) {
        uint8_t parity = 0;
        for (int p = (kCheckStart + j) % kCheckBits; p < kCheckStart; p += kCheckBits)
            parity ^= bits[p];
        if (parity != bits[kCheckStart + j])
            return false;
    }
    MFVitcCode read;
    const int frameTens = shortTens(bits, 12);
    const int hourTens = shortTens(bits, 72);
    const int frameUnits = digit(bits, 2, 4);
    const int secondUnits = digit(bits, 22, 4);
    const int minuteUnits = digit(bits, 42, 4);
    const int hourUnits = digit(bits, 62, 4);
    read.seconds = digit(bits, 32, 3) * 10 + secondUnits;
    read.minutes = digit(bits, 52, 3) * 10 + minuteUnits;
    if (frameTens < 0 || hourTens < 0 || frameUnits > 9 || secondUnits > 9 || minuteUnits > 9 || hourUnits > 9)
        return false;
    read.frames = frameTens * 10 + frameUnits;
    read.hours = hourTens * 10 + hourUnits;
    if (read.seconds > 59 || read.minutes > 59 || read.hours > 23)
        return false;
    read.flag35 = bits[35] != 0;
    read.flag75 = bits[75] != 0;
    for (int group = 0; group < 8; ++group)
        read.userBits |= uint32_t(digit(bits, 6 + group * kGroupBits, 4)) << (4 * group);
    if (code)
        *code = read;
    return true;
}

bool MFVitcReader::readLuma(const uint8_t *firstRow, int rows, int stride, int sampleStep, int width,
                            MFVitcCode *code) {
    if (!firstRow || rows <= 0 || width < kBits * 2)
        return false;
    // The middle half of each cell: its edges are where the encoder smears black into white.
    int levels[kBits];
    for (int i = 0; i < kBits; ++i) {
        const int left = (i * width) / kBits;
        const int right = ((i + 1) * width) / kBits;
        const int quarter = (right - left) / 4;
        int sum = 0;
        int count = 0;
        for (int row = 0; row < rows; ++row)
            for (int x = left + quarter; x < right - quarter; ++x) {
                sum += firstRow[row * stride + x * sampleStep];
                ++count;
            }
        levels[i] = count ? sum / count : 0;
    }
    const auto [low, high] = std::minmax_element(levels, levels + kBits);
    if (*high - *low < kMinimumContrast)
        return false;
    const int threshold = (*high + *low) / 2;
    uint8_t bits[kBits];
    for (int i = 0; i < kBits; ++i)
        bits[i] = levels[i] > threshold ? 1 : 0;
    return decode(bits, code);
}

bool MFVitcReader::read(const IMFFrame &frame, MFVitcCode *code) {
    const MFFrame *media = dynamic_cast<const MFFrame *>(&frame);
    const AVFrame *picture = media ? media->video() : nullptr;
    if (!picture || !picture->data[0] || picture->height < kStripRows)
        return false;
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(picture->format));
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL)))
        return false;
    // Luma for YUV pictures; for RGB ones green, which carries most of the luma and is black or white alike.
    const AVComponentDescriptor &comp = desc->comp[(desc->flags & AV_PIX_FMT_FLAG_RGB) ? 1 : 0];
    if (comp.depth != 8 || comp.shift != 0)
        return false;
    const int stride = picture->linesize[comp.plane];
    const uint8_t *first = picture->data[comp.plane] + (picture->height - kStripRows) * stride + comp.offset;
    return readLuma(first, kStripRows, stride, comp.step, picture->width, code);
}
