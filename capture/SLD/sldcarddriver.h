/* The capture card driver interface: a C ABI that a card maker's shared library exports, so that the
 * card source can load it at run time (dlopen) and stays independent of the maker's build. The library
 * exports one function, SLD_DRIVER_ENTRY, that returns its function table. Texts are UTF-8. */
#ifndef SLDCARDDRIVER_H
#define SLDCARDDRIVER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SLD_DRIVER_ABI_VERSION 1u
#define SLD_DRIVER_ENTRY "sld_driver"

/* A device counts only with both values set as below. */
#define SLD_RECORD_USABLE_STATUS 1
#define SLD_RECORD_USABLE_KIND 2
/* The mode in which the card source opens a card: capture of video and audio. */
#define SLD_OPEN_CAPTURE 2
/* Results of read_video: a new frame, no new frame yet; anything else is a failure. */
#define SLD_READ_OK 0
#define SLD_READ_NO_FRAME 1

#define SLD_NAME_SIZE 128

typedef struct SldDeviceRecord {
    int32_t status;
    int32_t kind;
    char second_name[SLD_NAME_SIZE];
    char first_name[SLD_NAME_SIZE];
} SldDeviceRecord;

typedef struct SldVideoFormat {
    int32_t width;
    int32_t height;
    double frame_rate;
} SldVideoFormat;

typedef struct SldAudioFormat {
    int32_t reserved0;
    int32_t sample_rate;
    int32_t channels;
    int32_t reserved1;
    double reserved2;
} SldAudioFormat;

typedef struct SldCapture SldCapture;

typedef struct SldDriver {
    uint32_t abi_version;
    int32_t (*device_count)(void);
    /* 0 on success. */
    int32_t (*device_record)(int32_t index, SldDeviceRecord *record);
    /* NULL when the card cannot be opened. */
    SldCapture *(*device_open)(int32_t index, int32_t mode);
    void (*device_close)(SldCapture *capture);
    int32_t (*video_format)(SldCapture *capture, SldVideoFormat *format);
    int32_t (*audio_format)(SldCapture *capture, SldAudioFormat *format);
    /* The frame position of the newest frame and a second value of the driver's own. */
    int32_t (*position)(SldCapture *capture, int64_t *frame, int64_t *extra);
    /* Copies the frame at *position (or a newer one, whose position it stores back) as ARGB32 rows of
     * row_bytes into buffer. Never blocks longer than a frame period. */
    int32_t (*read_video)(SldCapture *capture, uint8_t *buffer, int64_t size, int32_t row_bytes, int64_t *position,
                          int64_t *extra, int32_t flags);
    /* Interleaved signed 16-bit samples of the channels in channel_mask that belong to the frame at
     * position; stores the byte count. 0 on success. */
    int32_t (*read_audio)(SldCapture *capture, uint8_t *buffer, int64_t size, int64_t position, int32_t *bytes,
                          int32_t flags, uint32_t channel_mask);
} SldDriver;

typedef const SldDriver *(*SldDriverEntry)(void);

#ifdef __cplusplus
}
#endif

#endif
