#include "reconnectpolicy.h"

bool ReconnectPolicy::failed(int limit) {
    const int before = reconnectCount++;
    if (before < limit)
        return true;
    reconnectCount = 0;
    return false;
}
