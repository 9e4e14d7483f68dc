#pragma once

// Result codes of the media layer: 0 or above is success, negative is a failure. The reason of a
// failure is written once to the diagnostic stream by the object that failed.
enum MFResult : int {
    MF_OK = 0,
    MF_FALSE = 1,         // success, but nothing was done (e.g. a timeout of 0 found nothing)
    MF_E_FAIL = -1,       // generic failure
    MF_E_INVALIDARG = -2, // an argument (name, index, option text) is not valid
    MF_E_NOTFOUND = -3,   // no such device, property, object or sink
    MF_E_NOTREADY = -4,   // not configured or not opened yet
    MF_E_TIMEOUT = -5,    // nothing arrived within the timeout
    MF_E_UNSUPPORTED = -6 // the operation or format is not available on this machine
};

inline bool MF_SUCCEEDED(int result) {
    return result >= 0;
}
inline bool MF_FAILED(int result) {
    return result < 0;
}
