// Any host can send a datagram to the SNTP client's port; the bytes of a reply are entirely the sender's.
#include "fuzzkit.h"
#include "ntpclient.h"

#include <chrono>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzzkit::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using NTP_client::Client;
    // The reply's own originate field as the request's transmit time, so that the other checks are reached.
    uint8_t originate[8] = {};
    if (size >= 32)
        std::memcpy(originate, data + 24, sizeof originate);
    if (!Client::isServerReply(data, size, originate))
        return 0;
    fuzzkit::require(size >= size_t(Client::kPacketSize));
    const int64_t t1 =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    // A round trip of up to a second, taken from the bytes after the header when there are any.
    const double roundTrip = size > size_t(Client::kPacketSize) ? data[Client::kPacketSize] * 4e6 : 1e6;
    Client::replyTiming(data, t1, double(t1) + roundTrip);
    return 0;
}
