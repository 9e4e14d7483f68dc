// The bonding path text is typed by the operator and stored in configurations.
#include "fuzzkit.h"
#include "ristrules.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzzkit::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QList<ristrules::BondingPath> paths = ristrules::parseBondings(fuzzkit::text(data, size));
    for (const ristrules::BondingPath &path : paths) {
        ristrules::peerUrl(QStringLiteral("rist://127.0.0.1:5000?cname=x"), path.address, path.weight);
    }
    return 0;
}
