// The SRT server text is typed by the operator; the relay and the return feed both take their destination
// from it.
#include "fuzzkit.h"
#include "streamrules.h"

#include <QRegularExpression>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzzkit::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const streamrules::SrtServer server = streamrules::parseSrtServer(fuzzkit::text(data, size));
    if (server.valid) {
        static const QRegularExpression blank(QStringLiteral("\\s"));
        fuzzkit::require(!server.host.isEmpty() && !server.host.contains(blank));
        // A port that would wrap round is never handed on.
        fuzzkit::require(server.port >= 0 && server.port <= 65535 && (server.portInRange || server.port == 0));
    } else {
        fuzzkit::require(server.host.isEmpty());
    }
    return 0;
}
