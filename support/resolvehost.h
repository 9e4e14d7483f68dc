#pragma once

#include <QString>

// An IP address text comes back normalised; any other text is looked up (blocking, on the calling thread) and the
// first IPv4 address of the result is returned. Empty when there is none.
QString resolveHost(const QString &host);
