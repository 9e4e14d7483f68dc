// The RIST server entry, and the secret that follows it on a second line, as the operator typed them.
#include "fuzzkit.h"
#include "ristrules.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzzkit::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString input = fuzzkit::text(data, size);
    const int newline = input.indexOf(QLatin1Char('\n'));
    const QString entry = newline < 0 ? input : input.left(newline);
    const QString secret = newline < 0 ? QString() : input.mid(newline + 1);
    ristrules::RistParams params;
    params.rttMax = 1000;
    params.maxRetries = 10;
    QString url;
    QString error;
    if (ristrules::sourceUrl(entry, QStringLiteral("stream"), secret, params, &url, &error)) {
        fuzzkit::require(url.startsWith(QLatin1String("rist://")));
        ristrules::maskSecrets(ristrules::peerUrl(url, QStringLiteral("10.0.0.2"), 2));
    } else {
        fuzzkit::require(!error.isEmpty());
    }
    ristrules::maskSecrets(input);
    return 0;
}
