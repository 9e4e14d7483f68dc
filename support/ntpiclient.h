#pragma once

#include <cstdint>
#include <memory>

namespace NTP_client {

// The outcome of one SNTP exchange. All times in nanoseconds; time counts from 1970-01-01 00:00:00 UTC.
struct Result {
    int64_t time = 0;
    double delay = 0.0;
    double offset = 0.0;
    double jitter = 0.0;
    double delayPlusOffset = 0.0;
};

enum Status : uint16_t {
    OK = 0,
    UNKNOWN_ERROR = 1,
    INIT_WINSOCK_ERR = 2, // kept for its code; POSIX sockets need no start-up
    CREATE_SOCKET_ERR = 3,
    TX_MESSAGE_ERR = 4,
    RX_MSG_ERR = 5,
    RX_MSG_TIMEOUT = 6
};

// The component's own text for a status ("OK", "Rx Msg Timeout" ...).
const char *statusText(uint16_t status);

class IClient {
public:
    virtual ~IClient() = default;
    // server: an IPv4 address, optionally followed by ":port" (123 otherwise). When result is empty the client
    // allocates a zeroed record for the caller.
    virtual uint16_t query(const char *server, std::unique_ptr<Result> &result) = 0;
};

} // namespace NTP_client
