#pragma once

#include <QString>

// An IP address text comes back normalised; any other text is looked up (blocking, on the calling thread) and the
// first IPv4 address of the result is returned. Empty when there is none, unless ipv6Fallback is set: then a name
// with IPv6 addresses only gives its first IPv6 address (for callers whose connection speaks both families).
QString resolveHost(const QString &host, bool ipv6Fallback = false);
