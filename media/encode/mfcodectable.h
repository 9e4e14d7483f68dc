#pragma once

#include "mfwriteroptions.h"

#include <QString>
#include <QStringList>

extern "C" {
#include <libavcodec/avcodec.h>
}

// The one table of video codec ids the writer knows, and how each id's options map onto its encoder.
enum class MFEncoderFamily { X264, X265, Qsv, Nvenc, OpenH264, Mpeg2 };

struct MFCodecEntry {
    const char *id;      // codec id of the option text and of the encoder list
    const char *encoder; // FFmpeg encoder name; for OpenH264 the name FFmpeg's wrapper would have
    MFEncoderFamily family;
    AVCodecID codec;
    // Tried where the FFmpeg encoder cannot open: the Quick Sync ids encode through VAAPI on Linux GPU drivers
    // that have no Quick Sync runtime. nullptr for none.
    const char *vaapiEncoder = nullptr;
};

// What the encoder is opened for (taken from the first frame and the option text).
struct MFVideoSettings {
    int width = 0;
    int height = 0;
    AVRational frameRate{25, 1};
    int interlace = 0; // 1 top field first, 2 bottom field first, else progressive
    int gop = 0;       // frames; 0 lets the writer choose
    // Colour standard the pictures are tagged with (and converted to from RGB): BT.709 for HD, BT.601 below.
    bool hd() const { return height >= 720; }
    MFWriterOptions options;
    // Where the VAAPI encoders look for render nodes (renderD*).
    QString renderNodeDirectory = QStringLiteral("/dev/dri");
    bool interlaced() const { return interlace == 1 || interlace == 2; }
};

// The ten codec ids in the order the encoder list offers them.
QStringList mfCodecIds();
// The entry of a codec id (exact, case-sensitive), or nullptr.
const MFCodecEntry *mfCodecFind(const QString &id);

// Rate-control choice of the option text, common to every encoder family.
enum class MFRateControl { Auto, Vbr, Cbr, Cqp, Avbr, VbrLookahead, Quality };
MFRateControl mfRateControl(const QString &rcType);
// Quality 1..7 (0 = not given) on the family's own scale of speed presets.
const char *mfX264Preset(int quality);
const char *mfQsvPreset(int quality);
// x265's presets; without a quality its fastest, which the quality list shows first.
const char *mfX265Preset(int quality);
// The NVENC preset of the encoder list's preset name ("low_latency" → "ll"); nullptr for an unknown name.
const char *mfNvencPreset(const QString &preset);
// Constant quantiser / quality level used for "cqp" and "quality" (H.264 scale, 0..51).
int mfConstantQuality(int quality);
// Key-frame interval for the settings: the option's GOP, or one second when none is given. A GOP of 100
// times an NTSC rate (2997 at 29.97) is that rate's code, so it means one second too.
int mfGopFrames(const MFVideoSettings &settings);

// Brings the settings within what the entry's encoder can code and keep (picture size, bitrate range) and
// says in one log line what it changed. The writer calls it before it opens the encoder.
void mfFitVideoSettings(const MFCodecEntry &entry, MFVideoSettings *settings);

// Applies the option text to an FFmpeg encoder context (before avcodec_open2) for the entry's family:
// bitrates, VBV, GOP, profile, rate control, quality or preset, live low-latency settings and interlacing.
void mfApplyVideoOptions(const MFCodecEntry &entry, const MFVideoSettings &settings, AVCodecContext *context,
                         AVDictionary **encoderOptions);
// The same for the entry's VAAPI encoder (vaapiEncoder): its rate-control modes, speed level and queue depth.
void mfApplyVaapiOptions(const MFCodecEntry &entry, const MFVideoSettings &settings, AVCodecContext *context,
                         AVDictionary **encoderOptions);
