#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

// The one way the system opens an SRT caller connection and sends a buffer completely. The SRT library must
// already have been started (RESender's constructor does that once per process).

// Opens a caller connection to host:port (host already resolved to an IPv4 or IPv6 address), optionally bound to
// a local interface address. Returns an empty text on success (socket receives the connected socket) or one fixed
// error text (socket stays -1 and nothing is left open).
//
// beforeConnect, when given, is called with the socket once every option is set, right before srt_connect. A
// caller uses it to publish the socket to another thread (a blocking srt_connect holds the socket's connection
// lock until its timeout, so a caller that must be able to give up makes the connect non-blocking there and waits
// for it itself). Returning false abandons the connection with "SRT CONNECT FAILED".
QString connectSRT(int &socket, const QString &host, const QString &interfaceAddress, quint16 port,
                   const QString &streamId, int latency, const QString &passphrase, int keyLength, bool lossless,
                   const std::function<bool(int)> &beforeConnect = {});

// Waits for a non-blocking connect started by connectSRT to end: true once connected, false when the library
// gave up (after its own connect timeout), once stop is set, or at the latest 2 s after that timeout.
bool waitForSrtConnection(int socket, const std::atomic<bool> &stop, int pollMs);

// Sets one socket option at level 0; a refusal is written to the debug stream and the caller carries on.
void setSRTOption(int socket, int option, const QString &name, const void *value, int length);

// Sends length bytes, calling srt_send until everything is taken. Returns length, or the first result below 1
// (-1 on a library error, 0 if the library took nothing).
int srtSendAll(int socket, const char *data, int length);
