// The writer's option text comes from the encoder table and from hand-edited configurations.
#include "fuzzkit.h"
#include "mfwriteroptions.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzzkit::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString text = fuzzkit::text(data, size);
    MFWriterOptions options;
    QString error;
    if (MFWriterOptions::parse(text, &options, &error)) {
        fuzzkit::require(options.videoBitrate >= 0 && options.videoMaxrate >= 0 && options.audioBitrate >= 0);
        fuzzkit::require(options.quality >= 0 && options.quality <= 7 && options.sampleRate >= 0);
        options.hasVideo();
        options.hasAudio();
    } else {
        fuzzkit::require(!error.isEmpty());
    }
    fuzzkit::require(MFWriterOptions::parseBitrate(text) >= -1);
    return 0;
}
