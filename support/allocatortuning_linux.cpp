#include "allocatortuning.h"

#include <malloc.h>

namespace {

// glibc gives a thread that allocates while another holds the main arena an arena of its own, up to eight per
// core, and a thread arena's free top is never returned by malloc_trim. By default the mmap threshold also
// slides up to the largest block freed so far (a 1080p ARGB frame is 8 MB) and takes the trim threshold to twice
// that, so every arena kept about 16 MB of freed frames for good: resident memory rose with each new thread's
// arena until their number was reached, about 120 MB over the first 30 Start/Stop cycles.
//
// Fixing both thresholds ends the slide. Buffers below this size (every frame up to 4K YUV) still come from the
// arenas, as the slide would have made them, rather than as a fresh mmap and page faults per frame; this is
// glibc's largest mmap threshold on 64-bit systems.
constexpr int kMmapThresholdBytes = 32 * 1024 * 1024;
// More free memory than this at the top of an arena goes back to the system as it is freed: above one 1080p
// YUV frame, so that a frame freed and the next one allocated in its place do not fault in fresh pages each time.
constexpr int kTrimThresholdBytes = 4 * 1024 * 1024;

} // namespace

void tuneAllocator() {
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
    mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);
#endif
}

void releaseFreeMemory() {
#ifdef __GLIBC__
    // Free chunks inside the arenas (below live blocks, where the trim threshold cannot reach them).
    malloc_trim(0);
#endif
}
