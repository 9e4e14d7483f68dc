#pragma once

#include <QDeadlineTimer>
#include <QString>

// An IP address text comes back normalised; any other text is looked up (blocking, on the calling thread) and the
// first IPv4 address of the result is returned. Empty when there is none, unless ipv6Fallback is set: then a name
// with IPv6 addresses only gives its first IPv6 address (for callers whose connection speaks both families).
QString resolveHost(const QString &host, bool ipv6Fallback = false);

// The same, waiting for the look-up at most until the deadline. A look-up that is not done by then is left to end
// on its own thread (a resolver cannot be interrupted); the result is empty and timedOut, when given, is set.
QString resolveHost(const QString &host, bool ipv6Fallback, QDeadlineTimer deadline, bool *timedOut);
