#include "mfvideoformattable.h"

#include "mfformat.h"

namespace {

constexpr double kNtsc = 30000.0 / 1001.0;
constexpr double kFilm = 24000.0 / 1001.0;
constexpr double kNtscDouble = 60000.0 / 1001.0;

} // namespace

const QVector<MFVideoFormatTable::Entry> &MFVideoFormatTable::entries() {
    // Interlaced rates are frame rates: two fields per frame. SD NTSC is lower field first, PAL and the HD and
    // UHD interlaced standards upper field first.
    static const QVector<Entry> kEntries = {
        {"NTSC", 1, 720, 486, kNtsc, MFIL_BOTTOM_FIRST},
        {"NTSC_2398", 2, 720, 486, kFilm, MFIL_PROGRESSIVE},
        {"NTSC_16x9", 3, 720, 486, kNtsc, MFIL_BOTTOM_FIRST},
        {"PAL", 4, 720, 576, 25, MFIL_TOP_FIRST},
        {"PAL_16x9", 5, 720, 576, 25, MFIL_TOP_FIRST},
        {"HD720_50p", 6, 1280, 720, 50, MFIL_PROGRESSIVE},
        {"HD720_5994p", 7, 1280, 720, kNtscDouble, MFIL_PROGRESSIVE},
        {"HD720_60p", 8, 1280, 720, 60, MFIL_PROGRESSIVE},
        {"HD1080_2398p", 9, 1920, 1080, kFilm, MFIL_PROGRESSIVE},
        {"HD1080_24p", 10, 1920, 1080, 24, MFIL_PROGRESSIVE},
        {"HD1080_25p", 11, 1920, 1080, 25, MFIL_PROGRESSIVE},
        {"HD1080_2997p", 12, 1920, 1080, kNtsc, MFIL_PROGRESSIVE},
        {"HD1080_30p", 13, 1920, 1080, 30, MFIL_PROGRESSIVE},
        {"HD1080_50i", 14, 1920, 1080, 25, MFIL_TOP_FIRST},
        {"HD1080_5994i", 15, 1920, 1080, kNtsc, MFIL_TOP_FIRST},
        {"HD1080_60i", 16, 1920, 1080, 30, MFIL_TOP_FIRST},
        {"HD1080_50p", 17, 1920, 1080, 50, MFIL_PROGRESSIVE},
        {"HD1080_5994p", 18, 1920, 1080, kNtscDouble, MFIL_PROGRESSIVE},
        {"HD1080_60p", 19, 1920, 1080, 60, MFIL_PROGRESSIVE},
        {"2K_DCI_2398p", 25, 2048, 1080, kFilm, MFIL_PROGRESSIVE},
        {"2K_DCI_24p", 26, 2048, 1080, 24, MFIL_PROGRESSIVE},
        {"2K_DCI_25p", 27, 2048, 1080, 25, MFIL_PROGRESSIVE},
        {"2K_DCI_50p", 32, 2048, 1080, 50, MFIL_PROGRESSIVE},
        {"2K_DCI_5994p", 33, 2048, 1080, kNtscDouble, MFIL_PROGRESSIVE},
        {"2K_DCI_60p", 34, 2048, 1080, 60, MFIL_PROGRESSIVE},
        {"2K_2398p", 40, 2048, 1556, kFilm, MFIL_PROGRESSIVE},
        {"2K_24p", 41, 2048, 1556, 24, MFIL_PROGRESSIVE},
        {"2K_25p", 42, 2048, 1556, 25, MFIL_PROGRESSIVE},
        {"4K_DCI_2398p", 51, 4096, 2160, kFilm, MFIL_PROGRESSIVE},
        {"4K_DCI_24p", 52, 4096, 2160, 24, MFIL_PROGRESSIVE},
        {"4K_DCI_25p", 53, 4096, 2160, 25, MFIL_PROGRESSIVE},
        {"4K_UHD_50i", 43, 3840, 2160, 25, MFIL_TOP_FIRST},
        {"4K_UHD_5994i", 44, 3840, 2160, kNtsc, MFIL_TOP_FIRST},
        {"4K_UHD_60i", 45, 3840, 2160, 30, MFIL_TOP_FIRST},
        {"4K_UHD_50p", 58, 3840, 2160, 50, MFIL_PROGRESSIVE},
        {"4K_UHD_5994p", 59, 3840, 2160, kNtscDouble, MFIL_PROGRESSIVE},
        {"4K_UHD_60p", 60, 3840, 2160, 60, MFIL_PROGRESSIVE},
    };
    return kEntries;
}

const MFVideoFormatTable::Entry *MFVideoFormatTable::find(int code) {
    for (const Entry &entry : entries())
        if (entry.code == code)
            return &entry;
    return nullptr;
}
