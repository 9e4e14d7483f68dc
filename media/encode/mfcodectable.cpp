#include "mfcodectable.h"

#include <QDebug>

#include <cmath>

extern "C" {
#include <libavutil/opt.h>
}

namespace {

const MFCodecEntry codecTable[] = {
    {"q264hw", "h264_qsv", MFEncoderFamily::Qsv, AV_CODEC_ID_H264, "h264_vaapi"},
    {"q264sw", "libx264", MFEncoderFamily::X264, AV_CODEC_ID_H264},
    {"c264", "h264_nvenc", MFEncoderFamily::Nvenc, AV_CODEC_ID_H264},
    {"n264", "h264_nvenc", MFEncoderFamily::Nvenc, AV_CODEC_ID_H264},
    {"libopenh264", "libopenh264", MFEncoderFamily::OpenH264, AV_CODEC_ID_H264},
    {"mpeg2video", "mpeg2video", MFEncoderFamily::Mpeg2, AV_CODEC_ID_MPEG2VIDEO},
    {"hevc_qsv", "hevc_qsv", MFEncoderFamily::Qsv, AV_CODEC_ID_HEVC, "hevc_vaapi"},
    {"q265hw", "hevc_qsv", MFEncoderFamily::Qsv, AV_CODEC_ID_HEVC, "hevc_vaapi"},
    {"n265", "hevc_nvenc", MFEncoderFamily::Nvenc, AV_CODEC_ID_HEVC},
    {"x265sw", "libx265", MFEncoderFamily::X265, AV_CODEC_ID_HEVC},
};

// MPEG-2 main and high level VBV buffer sizes (bits): the largest buffer a conforming stream may ask for.
constexpr int mpeg2HighLevelVbvBits = 9781248;
// QSV, NVENC and VAAPI keep a queue of frames in flight unless told not to; one frame keeps the stream live.
constexpr const char *liveAsyncDepth = "1";
// Look-ahead of "vbr_la": short, since every frame of look-ahead is a frame of delay on a live link.
constexpr const char *qsvLookaheadFrames = "8";
// The VAAPI encoders' speed level runs from 1, the driver's best quality, to 7, its fastest (Intel's scale; other
// drivers clamp it): the reverse of the quality list.
constexpr int vaapiFastestLevel = 7;
// x265 look-ahead for "vbr_la"; the zero-latency tuning turns it off otherwise.
constexpr const char *x265LookaheadFrames = "8";
// The share of the ceiling x265's average aims at, and how full its VBV buffer starts.
constexpr double x265AverageShare = 0.95;
constexpr const char *x265VbvInitialFill = "0.5";
// MPEG-2's VBV buffer: half a second of the ceiling.
constexpr int mpeg2VbvDivisor = 2;
// FFmpeg refuses a buffer shorter than one frame at the bitrate; two leave the rate control room to work.
constexpr int mpeg2MinVbvFrames = 2;
// FFmpeg's own choice when it widens the bitrate tolerance.
constexpr int mpeg2ToleranceFrames = 5;
// At MPEG-2's coarsest quantiser (31) an intra picture of an ordinary scene takes about 48 bits per 16x16
// macroblock and a predicted picture of a moving one about 2. Below the bitrate at which the key frame fits
// the VBV buffer and every other picture its share of a second, the rate control underflows on every
// picture, the stream overshoots anyway and FFmpeg logs each picture.
constexpr int64_t mpeg2CoarsestIntraBitsPerMacroblock = 48;
constexpr int64_t mpeg2CoarsestPredictedBitsPerMacroblock = 2;
// MPEG-2 forbids a picture width or height that is a multiple of 4096: its 12-bit field would be 0. FFmpeg
// writes it all the same and no decoder reads the stream; one macroblock less is the nearest codable size.
constexpr int mpeg2ForbiddenSizeMultiple = 4096;
constexpr int macroblockSize = 16;
// OpenH264 refuses a bitrate above its highest level's (5.2): 240000 kbit/s times the NAL HRD factor 1.2.
constexpr int64_t openh264MaxBitrate = 288000000;

void setOption(AVDictionary **options, const char *key, const QByteArray &value) {
    av_dict_set(options, key, value.constData(), 0);
}

int64_t maxrateOf(const MFWriterOptions &o) {
    return o.videoMaxrate > 0 ? o.videoMaxrate : o.videoBitrate;
}

void setRates(const MFVideoSettings &s, AVCodecContext *c, bool constrained) {
    const MFWriterOptions &o = s.options;
    c->bit_rate = o.videoBitrate;
    if (constrained && maxrateOf(o) > 0) {
        c->rc_max_rate = maxrateOf(o);
        // One second of buffer: enough for a key frame, short enough for a live link's jitter buffer.
        c->rc_buffer_size = int(std::min<int64_t>(c->rc_max_rate, INT32_MAX));
    }
}

void setInterlace(const MFVideoSettings &s, AVCodecContext *c) {
    if (!s.interlaced()) {
        c->field_order = AV_FIELD_PROGRESSIVE;
        return;
    }
    c->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    c->field_order = s.interlace == 1 ? AV_FIELD_TT : AV_FIELD_BB;
}

QByteArray h264Profile(const QString &profile) {
    const QString p = profile.toLower();
    if (p.isEmpty())
        return QByteArray();
    if (p == QLatin1String("constrained_baseline"))
        return "baseline";
    return p.toLatin1();
}

void applyX264(const MFVideoSettings &s, AVCodecContext *c, AVDictionary **d) {
    const MFWriterOptions &o = s.options;
    const MFRateControl rc = mfRateControl(o.rcType);
    setOption(d, "preset", mfX264Preset(o.quality));
    setOption(d, "tune", "zerolatency");
    const QByteArray profile = h264Profile(o.videoProfile);
    if (!profile.isEmpty())
        setOption(d, "profile", profile);
    // A fixed key-frame cadence: receivers joining a live stream wait at most one GOP for a picture.
    QByteArray params = "scenecut=0";
    switch (rc) {
    case MFRateControl::Cqp:
        setOption(d, "qp", QByteArray::number(mfConstantQuality(o.quality)));
        break;
    case MFRateControl::Quality:
        setOption(d, "crf", QByteArray::number(mfConstantQuality(o.quality)));
        setRates(s, c, true);
        c->bit_rate = 0;
        break;
    case MFRateControl::Cbr:
        setRates(s, c, true);
        c->rc_max_rate = c->bit_rate;
        c->rc_buffer_size = int(std::min<int64_t>(c->bit_rate, INT32_MAX));
        params += ":nal-hrd=cbr";
        break;
    case MFRateControl::Avbr:
        setRates(s, c, false);
        break;
    default:
        setRates(s, c, true);
        break;
    }
    // x264 takes the field order from its own parameters; without them every stream says top field first.
    // Weighted prediction does not work with interlacing and x264 would only warn about it.
    if (s.interlaced())
        params += s.interlace == 1 ? ":tff=1:weightp=0" : ":bff=1:weightp=0";
    setOption(d, "x264-params", params);
    c->max_b_frames = 0;
    setInterlace(s, c);
}

// FFmpeg 5.1's libx265 wrapper takes the bitrate, the VBV (maxrate, buffer), the GOP and the B-frames from the
// context, constant quality from "crf" and a constant quantiser from "qp" (only without a bitrate); the rest
// goes to x265 as its own parameters.
void applyX265(const MFVideoSettings &s, AVCodecContext *c, AVDictionary **d) {
    const MFWriterOptions &o = s.options;
    const MFRateControl rc = mfRateControl(o.rcType);
    setOption(d, "preset", mfX265Preset(o.quality));
    setOption(d, "tune", "zerolatency");
    if (!o.videoProfile.isEmpty())
        setOption(d, "profile", o.videoProfile.toLower().toLatin1());
    // As for x264, a fixed key-frame cadence. x265 writes its own log to stderr, past FFmpeg's; only its errors
    // (which FFmpeg reports as well) are wanted there.
    QByteArray params = "scenecut=0:log-level=error";
    switch (rc) {
    case MFRateControl::Cqp:
        setOption(d, "qp", QByteArray::number(mfConstantQuality(o.quality)));
        c->bit_rate = 0;
        break;
    case MFRateControl::Quality:
        setOption(d, "crf", QByteArray::number(mfConstantQuality(o.quality)));
        setRates(s, c, true);
        c->bit_rate = 0;
        break;
    case MFRateControl::Cbr:
        setRates(s, c, true);
        c->rc_max_rate = c->bit_rate;
        c->rc_buffer_size = int(std::min<int64_t>(c->bit_rate, INT32_MAX));
        params += ":strict-cbr=1";
        break;
    case MFRateControl::Avbr:
        setRates(s, c, false);
        break;
    default:
        setRates(s, c, true);
        // Without look-ahead x265 overshoots its average by a few per cent and rides the VBV ceiling; aimed a
        // little under it, the stream stays within the bitrate set.
        if (c->rc_max_rate > 0)
            c->bit_rate = std::min(c->bit_rate, int64_t(double(c->rc_max_rate) * x265AverageShare));
        if (rc == MFRateControl::VbrLookahead)
            params += QByteArray(":rc-lookahead=") + x265LookaheadFrames;
        break;
    }
    // The first key frame may take half the buffer, not nine tenths: a smaller burst at the start of a stream.
    if (c->rc_buffer_size > 0)
        params += QByteArray(":vbv-init=") + x265VbvInitialFill;
    setOption(d, "x265-params", params);
    c->max_b_frames = 0;
    // Every key frame an IDR picture, where any decoder can start: x265 writes open-GOP CRA pictures otherwise.
    c->flags |= AV_CODEC_FLAG_CLOSED_GOP;
    // x265 codes interlaced video only as separate field pictures, which decoders hand on as half-height frames;
    // the writer codes the frames as progressive pictures instead.
    c->field_order = AV_FIELD_PROGRESSIVE;
}

int64_t mpeg2MinBitrate(const MFVideoSettings &s) {
    const int64_t macroblocks =
        int64_t((s.width + macroblockSize - 1) / macroblockSize) * ((s.height + macroblockSize - 1) / macroblockSize);
    const double frameRate = s.frameRate.num > 0 && s.frameRate.den > 0 ? av_q2d(s.frameRate) : 25.0;
    return macroblocks * (mpeg2CoarsestIntraBitsPerMacroblock * mpeg2VbvDivisor +
                          int64_t(std::ceil(mpeg2CoarsestPredictedBitsPerMacroblock * frameRate)));
}

bool rateControlled(const MFWriterOptions &o) {
    const MFRateControl rc = mfRateControl(o.rcType);
    return rc != MFRateControl::Cqp && rc != MFRateControl::Quality;
}

// FFmpeg's MPEG-2 encoder fills in the picture header's VBV delay (16 bits of a 90 kHz clock) at constant
// rate, floor equal to ceiling, with a buffer of at most 0xFFFF/90000 s, and asserts that the delay fits
// (av_assert0, a process abort). A picture the rate control cannot shrink enough to arrive within that span
// at the ceiling (a key frame of a large picture at a low bitrate, even at the coarsest quantiser) trips it,
// so no bitrate floor can make it safe for every scene. The floor
// also makes it stuff every picture up to the rate, which fails ("stuffing too large") once the rate is
// far above what the pictures need. Without a floor FFmpeg writes 0xFFFF ("not given", allowed at any
// rate) and stuffs nothing: the ceiling alone keeps the rate, whatever the pictures.
void setMpeg2Rates(const MFVideoSettings &s, AVCodecContext *c, MFRateControl rc) {
    setRates(s, c, rc != MFRateControl::Avbr);
    c->rc_min_rate = 0;
    if (rc == MFRateControl::Cbr)
        c->rc_max_rate = c->bit_rate;
    // FFmpeg widens a tolerance under one frame at the bitrate itself, with a warning at every open.
    const double frameSeconds = s.frameRate.num > 0 && s.frameRate.den > 0 ? av_q2d(av_inv_q(s.frameRate)) : 0.04;
    c->bit_rate_tolerance =
        int(std::clamp<double>(c->bit_rate * frameSeconds * mpeg2ToleranceFrames, c->bit_rate_tolerance, INT32_MAX));
    if (c->rc_max_rate <= 0) {
        c->rc_buffer_size = 0;
        return;
    }
    const auto oneFrame = int64_t(std::ceil(double(c->rc_max_rate) * frameSeconds));
    // The high level's buffer holds under two frames only above about 120 Mbit/s at 25 fps, past every
    // level's rate.
    const int64_t buffer = std::max(std::min<int64_t>(c->rc_max_rate / mpeg2VbvDivisor, mpeg2HighLevelVbvBits),
                                    oneFrame * mpeg2MinVbvFrames);
    c->rc_buffer_size = int(std::min<int64_t>(buffer, INT32_MAX));
    c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
}

void applyMpeg2(const MFVideoSettings &s, AVCodecContext *c) {
    const MFWriterOptions &o = s.options;
    const MFRateControl rc = mfRateControl(o.rcType);
    c->max_b_frames = 0;
    // Without B-frames MPEG-2 needs no reordering delay, but FFmpeg holds one frame back unless told
    // "low delay" (which it offers only below strict compliance, though the sequence extension allows it).
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    c->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    if (o.videoProfile.compare(QLatin1String("main"), Qt::CaseInsensitive) == 0)
        c->profile = FF_PROFILE_MPEG2_MAIN;
    if (rc == MFRateControl::Cqp || rc == MFRateControl::Quality) {
        // MPEG-2 quantiser scale 2 (best) .. 31; quality 7 → 2, quality 1 → 14.
        const int qscale = o.quality > 0 ? 16 - 2 * o.quality : 6;
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->global_quality = FF_QP2LAMBDA * qscale;
    } else {
        setMpeg2Rates(s, c, rc);
    }
    setInterlace(s, c);
}

void applyQsv(const MFCodecEntry &e, const MFVideoSettings &s, AVCodecContext *c, AVDictionary **d) {
    const MFWriterOptions &o = s.options;
    const MFRateControl rc = mfRateControl(o.rcType);
    setOption(d, "preset", mfQsvPreset(o.quality));
    setOption(d, "async_depth", liveAsyncDepth);
    const QByteArray profile =
        e.codec == AV_CODEC_ID_HEVC ? o.videoProfile.toLower().toLatin1() : h264Profile(o.videoProfile);
    if (!profile.isEmpty())
        setOption(d, "profile", profile);
    c->max_b_frames = 0;
    switch (rc) {
    case MFRateControl::Cqp:
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->global_quality = mfConstantQuality(o.quality);
        break;
    case MFRateControl::Quality:
        c->global_quality = mfConstantQuality(o.quality);
        break;
    case MFRateControl::Cbr:
        setRates(s, c, true);
        c->rc_max_rate = c->bit_rate;
        c->rc_min_rate = c->bit_rate;
        break;
    case MFRateControl::Avbr:
        setRates(s, c, false);
        break;
    case MFRateControl::VbrLookahead:
        setRates(s, c, true);
        // H.264 Quick Sync has its own look-ahead rate control; HEVC gets look-ahead through extended BRC.
        if (e.codec == AV_CODEC_ID_HEVC)
            setOption(d, "extbrc", "1");
        else
            setOption(d, "look_ahead", "1");
        setOption(d, "look_ahead_depth", qsvLookaheadFrames);
        break;
    default:
        setRates(s, c, true);
        break;
    }
    setInterlace(s, c);
}

void applyNvenc(const MFVideoSettings &s, AVCodecContext *c, AVDictionary **d) {
    const MFWriterOptions &o = s.options;
    const MFRateControl rc = mfRateControl(o.rcType);
    const char *preset = mfNvencPreset(o.preset);
    setOption(d, "preset", preset ? preset : "ll");
    if (!o.videoProfile.isEmpty())
        setOption(d, "profile", o.videoProfile.toLower().toLatin1());
    setOption(d, "zerolatency", "1");
    setOption(d, "delay", "0");
    c->max_b_frames = 0;
    switch (rc) {
    case MFRateControl::Cqp:
        setOption(d, "rc", "constqp");
        setOption(d, "qp", QByteArray::number(mfConstantQuality(o.quality)));
        break;
    case MFRateControl::Quality:
        setOption(d, "rc", "vbr");
        setOption(d, "cq", QByteArray::number(mfConstantQuality(o.quality)));
        setRates(s, c, true);
        c->bit_rate = 0;
        break;
    case MFRateControl::Cbr:
        setOption(d, "rc", "cbr");
        setRates(s, c, true);
        break;
    case MFRateControl::VbrLookahead:
        setOption(d, "rc", "vbr");
        setOption(d, "rc-lookahead", "8");
        setRates(s, c, true);
        break;
    case MFRateControl::Vbr:
    case MFRateControl::Avbr:
        setOption(d, "rc", "vbr");
        setRates(s, c, rc == MFRateControl::Vbr);
        break;
    default:
        setRates(s, c, true);
        break;
    }
    setInterlace(s, c);
}

} // namespace

QStringList mfCodecIds() {
    QStringList ids;
    for (const MFCodecEntry &entry : codecTable)
        ids << QLatin1String(entry.id);
    return ids;
}

const MFCodecEntry *mfCodecFind(const QString &id) {
    for (const MFCodecEntry &entry : codecTable) {
        if (id == QLatin1String(entry.id))
            return &entry;
    }
    return nullptr;
}

MFRateControl mfRateControl(const QString &rcType) {
    if (rcType == QLatin1String("vbr"))
        return MFRateControl::Vbr;
    if (rcType == QLatin1String("cbr"))
        return MFRateControl::Cbr;
    if (rcType == QLatin1String("cqp"))
        return MFRateControl::Cqp;
    if (rcType == QLatin1String("avbr"))
        return MFRateControl::Avbr;
    if (rcType == QLatin1String("vbr_la"))
        return MFRateControl::VbrLookahead;
    if (rcType == QLatin1String("quality"))
        return MFRateControl::Quality;
    return MFRateControl::Auto;
}

const char *mfX264Preset(int quality) {
    static const char *const presets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow"};
    if (quality < 1 || quality > 7)
        return "veryfast";
    return presets[quality - 1];
}

const char *mfQsvPreset(int quality) {
    static const char *const presets[] = {"veryfast", "faster", "fast", "medium", "slow", "slower", "veryslow"};
    if (quality < 1 || quality > 7)
        return "medium";
    return presets[quality - 1];
}

const char *mfX265Preset(int quality) {
    static const char *const presets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow"};
    if (quality < 1 || quality > 7)
        return presets[0];
    return presets[quality - 1];
}

const char *mfNvencPreset(const QString &preset) {
    static const struct {
        const char *name;
        const char *nvenc;
    } presets[] = {{"default", "medium"},  {"high_quality", "hq"},     {"high_performance", "hp"},
                   {"low_latency", "ll"},  {"low_latency_hq", "llhq"}, {"low_latency_hp", "llhp"},
                   {"blue_ray_disk", "bd"}};
    if (preset.isEmpty())
        return "ll";
    for (const auto &p : presets) {
        if (preset == QLatin1String(p.name))
            return p.nvenc;
    }
    return nullptr;
}

int mfConstantQuality(int quality) {
    // Quality 1 (minimal) .. 7 (maximal) onto quantisers 35 .. 17; 23 when not given.
    if (quality < 1 || quality > 7)
        return 23;
    return 38 - 3 * quality;
}

int mfGopFrames(const MFVideoSettings &s) {
    const double rate = s.frameRate.den > 0 ? double(s.frameRate.num) / s.frameRate.den : 25.0;
    if (s.gop <= 0)
        return std::max(1, int(std::lround(rate)));
    if (s.frameRate.den == 1001 && s.gop == int(std::lround(rate * 100.0)))
        return int(std::lround(rate));
    return s.gop;
}

void mfApplyVideoOptions(const MFCodecEntry &entry, const MFVideoSettings &settings, AVCodecContext *context,
                         AVDictionary **encoderOptions) {
    context->gop_size = mfGopFrames(settings);
    context->keyint_min = context->gop_size;
    switch (entry.family) {
    case MFEncoderFamily::X264:
        applyX264(settings, context, encoderOptions);
        break;
    case MFEncoderFamily::X265:
        applyX265(settings, context, encoderOptions);
        break;
    case MFEncoderFamily::Mpeg2:
        applyMpeg2(settings, context);
        break;
    case MFEncoderFamily::Qsv:
        applyQsv(entry, settings, context, encoderOptions);
        break;
    case MFEncoderFamily::Nvenc:
        applyNvenc(settings, context, encoderOptions);
        break;
    case MFEncoderFamily::OpenH264:
        // FFmpeg's own OpenH264 wrapper, where the build has it; our encoder reads the settings itself.
        setRates(settings, context, true);
        context->max_b_frames = 0;
        av_dict_set(encoderOptions, "profile", "constrained_baseline", 0);
        av_dict_set(encoderOptions, "allow_skip_frames", "0", 0);
        break;
    }
}

void mfApplyVaapiOptions(const MFCodecEntry &entry, const MFVideoSettings &settings, AVCodecContext *context,
                         AVDictionary **encoderOptions) {
    const MFWriterOptions &o = settings.options;
    context->gop_size = mfGopFrames(settings);
    context->keyint_min = context->gop_size;
    context->max_b_frames = 0;
    setOption(encoderOptions, "async_depth", liveAsyncDepth);
    const QByteArray profile =
        entry.codec == AV_CODEC_ID_HEVC ? o.videoProfile.toLower().toLatin1() : h264Profile(o.videoProfile);
    if (!profile.isEmpty())
        setOption(encoderOptions, "profile", profile);
    if (o.quality > 0)
        context->compression_level = vaapiFastestLevel + 1 - o.quality;
    // VAAPI has no look-ahead: "vbr_la" is plain VBR. "auto" lets FFmpeg choose from the rates (VBR with a ceiling).
    switch (mfRateControl(o.rcType)) {
    case MFRateControl::Cqp:
        setOption(encoderOptions, "rc_mode", "CQP");
        setOption(encoderOptions, "qp", QByteArray::number(mfConstantQuality(o.quality)));
        break;
    case MFRateControl::Quality:
        setOption(encoderOptions, "rc_mode", "QVBR");
        context->global_quality = mfConstantQuality(o.quality);
        setRates(settings, context, true);
        break;
    case MFRateControl::Cbr:
        setOption(encoderOptions, "rc_mode", "CBR");
        setRates(settings, context, true);
        context->rc_max_rate = context->bit_rate;
        break;
    case MFRateControl::Avbr:
        setOption(encoderOptions, "rc_mode", "AVBR");
        setRates(settings, context, false);
        break;
    case MFRateControl::Vbr:
    case MFRateControl::VbrLookahead:
        setOption(encoderOptions, "rc_mode", "VBR");
        setRates(settings, context, true);
        break;
    default:
        setRates(settings, context, true);
        break;
    }
    context->field_order = AV_FIELD_PROGRESSIVE;
}

void mfFitVideoSettings(const MFCodecEntry &entry, MFVideoSettings *settings) {
    MFWriterOptions &o = settings->options;
    if (entry.family == MFEncoderFamily::Mpeg2) {
        const int width = settings->width;
        const int height = settings->height;
        if (width > 0 && width % mpeg2ForbiddenSizeMultiple == 0)
            settings->width -= macroblockSize;
        if (height > 0 && height % mpeg2ForbiddenSizeMultiple == 0)
            settings->height -= macroblockSize;
        if (settings->width != width || settings->height != height)
            qWarning().noquote() << QStringLiteral(
                                        "MFWriter: MPEG-2 cannot code %1x%2; the pictures are scaled to %3x%4")
                                        .arg(width)
                                        .arg(height)
                                        .arg(settings->width)
                                        .arg(settings->height);
        const int64_t floor = mpeg2MinBitrate(*settings);
        if (rateControlled(o) && o.videoBitrate > 0 && o.videoBitrate < floor) {
            qWarning().noquote() << QStringLiteral("MFWriter: MPEG-2 cannot keep %1 kbit/s at %2x%3, %4 fps; video "
                                                   "bitrate raised to %5 kbit/s")
                                        .arg(o.videoBitrate / 1000)
                                        .arg(settings->width)
                                        .arg(settings->height)
                                        .arg(av_q2d(settings->frameRate), 0, 'g', 4)
                                        .arg((floor + 999) / 1000);
            o.videoBitrate = floor;
            if (o.videoMaxrate > 0)
                o.videoMaxrate = std::max(o.videoMaxrate, floor);
        }
    } else if (entry.family == MFEncoderFamily::OpenH264 && rateControlled(o) &&
               std::max(o.videoBitrate, o.videoMaxrate) > openh264MaxBitrate) {
        qWarning().noquote() << QStringLiteral("MFWriter: OpenH264 cannot go above %1 kbit/s; video bitrate lowered "
                                               "from %2 kbit/s")
                                    .arg(openh264MaxBitrate / 1000)
                                    .arg(std::max(o.videoBitrate, o.videoMaxrate) / 1000);
        o.videoBitrate = std::min(o.videoBitrate, openh264MaxBitrate);
        o.videoMaxrate = std::min(o.videoMaxrate, openh264MaxBitrate);
    }
}
