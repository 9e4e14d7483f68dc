#pragma once

#include <QDateTime>
#include <QString>

#include <atomic>
#include <cstdint>

class LogsDlg;

// The network clock: UTC as learnt from one SNTP exchange, carried forward by the steady clock. The computer's
// own clock is never changed.

// The time server as "host" or "host:port" (123 when no port is given). The name is looked up at the next
// synchronisation, not here, so the caller never waits for a lookup. False (and nothing changed) for an empty
// host or a port that is not a number from 1 to 65535.
bool setNtpServer(const QString &server);
QString ntpServerText();

// One synchronisation; blocks its caller for up to timeoutMs (plus the name lookup), so call it off the GUI
// thread. Returns the SNTP status (0 on success); on failure the clock stays as it was. cancel, when given,
// ends the wait early.
uint16_t syncNetworkClock(int timeoutMs = 5000, const std::atomic<bool> *cancel = nullptr);

// The network clock's UTC time; callable from any thread. Before the first successful synchronisation it is
// the system's UTC time, and the log window (if one is set) says so once.
QDateTime networkClockNow();
bool networkClockSynchronised();

// Where the clock reports its synchronisations and its unsynchronised state; callable from any thread.
void setNetworkClockLog(LogsDlg *window);
