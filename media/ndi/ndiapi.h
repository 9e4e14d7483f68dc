#pragma once

// The part of the NDI runtime's C interface that Tidewell calls, declared here from NDI's public SDK
// documentation (docs.ndi.video: "Dynamic Loading of NDI Libraries", "Frame Types", "NDI-FIND", "NDI-RECV",
// "NDI-SEND"); no SDK header is needed to build. Type and field names are the documented ones, so that the
// documentation reads straight onto this code. Media-internal, and included by the tests' fake runtime.
//
// The runtime hands out its functions as one table through the load entry point; the table only ever grows
// at its end (newer runtimes append), so a prefix of it is enough. Slots Tidewell does not call are kept as
// placeholders to hold every called function at its documented position.

#include <cstddef>
#include <cstdint>

extern "C" {

using NDIlib_find_instance_t = void *;
using NDIlib_recv_instance_t = void *;
using NDIlib_send_instance_t = void *;

// A source on the network: its name ("MACHINE (Source)") and the address the finder saw it at.
struct NDIlib_source_t {
    const char *p_ndi_name;
    const char *p_url_address;
};

struct NDIlib_find_create_t {
    bool show_local_sources;
    const char *p_groups;
    const char *p_extra_ips;
};

struct NDIlib_send_create_t {
    const char *p_ndi_name;
    const char *p_groups;
    bool clock_video;
    bool clock_audio;
};

enum NDIlib_recv_color_format_e : int {
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_color_format_UYVY_BGRA = 1,
};

enum NDIlib_recv_bandwidth_e : int {
    NDIlib_recv_bandwidth_lowest = 0,
    NDIlib_recv_bandwidth_highest = 100,
};

// The receiver's settings as the runtime's second receiver entry takes them.
struct NDIlib_recv_create_t {
    NDIlib_source_t source_to_connect_to;
    NDIlib_recv_color_format_e color_format;
    NDIlib_recv_bandwidth_e bandwidth;
    bool allow_video_fields;
};

enum NDIlib_frame_type_e : int {
    NDIlib_frame_type_none = 0,
    NDIlib_frame_type_video = 1,
    NDIlib_frame_type_audio = 2,
    NDIlib_frame_type_metadata = 3,
    NDIlib_frame_type_error = 4,
    NDIlib_frame_type_status_change = 100,
};

enum NDIlib_frame_format_type_e : int {
    NDIlib_frame_format_type_interleaved = 0,
    NDIlib_frame_format_type_progressive = 1,
};

constexpr uint32_t ndiFourCC(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}
constexpr uint32_t NDIlib_FourCC_type_UYVY = ndiFourCC('U', 'Y', 'V', 'Y');
constexpr uint32_t NDIlib_FourCC_type_BGRA = ndiFourCC('B', 'G', 'R', 'A');
constexpr uint32_t NDIlib_FourCC_type_BGRX = ndiFourCC('B', 'G', 'R', 'X');
constexpr uint32_t NDIlib_FourCC_type_RGBA = ndiFourCC('R', 'G', 'B', 'A');
constexpr uint32_t NDIlib_FourCC_type_RGBX = ndiFourCC('R', 'G', 'B', 'X');

// A timecode or time stamp the sender lets the runtime fill in.
constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;

struct NDIlib_video_frame_v2_t {
    int xres;
    int yres;
    uint32_t FourCC;
    int frame_rate_N;
    int frame_rate_D;
    float picture_aspect_ratio; // 0: square pixels
    NDIlib_frame_format_type_e frame_format_type;
    int64_t timecode; // 100 ns units
    uint8_t *p_data;
    int line_stride_in_bytes;
    const char *p_metadata;
    int64_t timestamp;
};

// Audio is 32-bit float, planar: channel c starts c * channel_stride_in_bytes after p_data.
struct NDIlib_audio_frame_v2_t {
    int sample_rate;
    int no_channels;
    int no_samples;
    int64_t timecode;
    float *p_data;
    int channel_stride_in_bytes;
    const char *p_metadata;
    int64_t timestamp;
};

// The function table (the documentation's NDIlib_v5), up to the last slot Tidewell calls.
struct NDIlib_v5 {
    bool (*initialize)();                                                           // 0
    void (*destroy)();                                                              // 1
    const char *(*version)();                                                       // 2
    void *is_supported_CPU;                                                         // 3
    void *find_create;                                                              // 4
    NDIlib_find_instance_t (*find_create_v2)(const NDIlib_find_create_t *settings); // 5
    void (*find_destroy)(NDIlib_find_instance_t finder);                            // 6
    void *find_get_sources;                                                         // 7
    NDIlib_send_instance_t (*send_create)(const NDIlib_send_create_t *settings);    // 8
    void (*send_destroy)(NDIlib_send_instance_t sender);                            // 9
    void *slots10to20[11]; // 10 .. 20: the first sending and tally calls
    NDIlib_recv_instance_t (*recv_create_v2)(const NDIlib_recv_create_t *settings); // 21
    void *recv_create;                                                              // 22
    void (*recv_destroy)(NDIlib_recv_instance_t receiver);                          // 23
    void *slots24to41[18]; // 24 .. 41: first receiving calls, routing, utilities
    bool (*find_wait_for_sources)(NDIlib_find_instance_t finder, uint32_t timeout_ms);                  // 42
    const NDIlib_source_t *(*find_get_current_sources)(NDIlib_find_instance_t finder, uint32_t *count); // 43
    void *slots44to46[3]; // 44 .. 46: audio utilities
    void (*recv_free_video_v2)(NDIlib_recv_instance_t receiver, const NDIlib_video_frame_v2_t *frame); // 47
    void (*recv_free_audio_v2)(NDIlib_recv_instance_t receiver, const NDIlib_audio_frame_v2_t *frame); // 48
    NDIlib_frame_type_e (*recv_capture_v2)(NDIlib_recv_instance_t receiver, NDIlib_video_frame_v2_t *video,
                                           NDIlib_audio_frame_v2_t *audio, void *metadata, uint32_t timeout_ms); // 49
    void (*send_send_video_v2)(NDIlib_send_instance_t sender, const NDIlib_video_frame_v2_t *frame);             // 50
    void *send_send_video_async_v2;                                                                              // 51
    void (*send_send_audio_v2)(NDIlib_send_instance_t sender, const NDIlib_audio_frame_v2_t *frame);             // 52
};

// The documented load entry point; a v5 or v6 runtime exports it.
using NDIlib_v5_load_fn = const NDIlib_v5 *(*)();
constexpr const char *kNDIlibLoadEntry = "NDIlib_v5_load";

} // extern "C"

// Sizes and positions that follow from the documented field orders on an LP64 platform (pointers and
// int64 at 8, int, enum and float at 4, bool at 1): a wrong declaration here would misread the runtime.
static_assert(sizeof(void *) == 8, "the NDI declarations are written for an LP64 platform");
static_assert(sizeof(NDIlib_frame_type_e) == 4 && sizeof(NDIlib_recv_color_format_e) == 4, "enums are C ints");
static_assert(sizeof(NDIlib_source_t) == 16, "two pointers");
static_assert(sizeof(NDIlib_find_create_t) == 24, "bool padded to a pointer, two pointers");
static_assert(sizeof(NDIlib_send_create_t) == 24, "two pointers and two bools");
static_assert(sizeof(NDIlib_recv_create_t) == 32, "a source, two enums and a bool");
static_assert(offsetof(NDIlib_video_frame_v2_t, timecode) == 32 && offsetof(NDIlib_video_frame_v2_t, p_data) == 40 &&
                  offsetof(NDIlib_video_frame_v2_t, timestamp) == 64 && sizeof(NDIlib_video_frame_v2_t) == 72,
              "seven 4-byte fields, then timecode, data, stride, metadata and time stamp");
static_assert(offsetof(NDIlib_audio_frame_v2_t, timecode) == 16 && offsetof(NDIlib_audio_frame_v2_t, p_data) == 24 &&
                  offsetof(NDIlib_audio_frame_v2_t, timestamp) == 48 && sizeof(NDIlib_audio_frame_v2_t) == 56,
              "three ints, then timecode, data, stride, metadata and time stamp");
static_assert(offsetof(NDIlib_v5, send_create) == 8 * sizeof(void *) &&
                  offsetof(NDIlib_v5, recv_create_v2) == 21 * sizeof(void *) &&
                  offsetof(NDIlib_v5, find_wait_for_sources) == 42 * sizeof(void *) &&
                  offsetof(NDIlib_v5, recv_free_video_v2) == 47 * sizeof(void *) &&
                  sizeof(NDIlib_v5) == 53 * sizeof(void *),
              "each function at its slot of the table");
