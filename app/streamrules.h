#pragma once

#include "mfformat.h"

#include <QString>
#include <QStringList>
#include <QVariant>

// The rules that turn what the operator typed and picked into the values the relay and the capture
// thread are started with. Kept free of widgets so that they can be checked one by one.
namespace streamrules {

// The destination as host and port, taken from the SRT server text.
struct SrtServer {
    bool valid = false; // false without ":", with an empty host, blanks inside the host or an unbracketed IPv6 address
    QString host;       // an IPv6 address without its brackets
    int port = 0;       // 0 when the port part is not a decimal number, or is one outside 1-65535
    // False when the port part is a decimal number outside 1-65535: taken as it is, it would wrap round to another
    // port (106954 is 41418 on the wire).
    bool portInRange = true;
    QString portText; // the port part, trimmed
};

// Lower-cases the text, drops every "srt://", trims blanks around the text, the host and the port, and splits
// at ":"; further parts (a query) are ignored. An IPv6 address is written in brackets: [::1]:9001.
SrtServer parseSrtServer(const QString &text);

// SRT accepts no passphrase or one of 10 to 79 characters.
bool passphraseAcceptable(const QString &passphrase);

// 1 for a frame rate entry ending in "if1", 2 for "if2", otherwise 3 (progressive).
int interlaceCode(const QString &frameRateText);

// Data prefix of the video entries that capture a display.
inline constexpr char kDisplayPrefix[] = "CAPTURE_DISPLAY#";

struct VideoChoice {
    QString deviceName;
    int displayIndex = -1; // -1 when the entry is not a display
};

// A display entry ("CAPTURE_DISPLAY#<n>") selects the screen capture device (kMFScreenCaptureDevice) and display n; any
// other entry names the device by its visible text.
VideoChoice videoChoice(const QString &text, const QVariant &data);

// The audio entry's data ("NO_AUDIO", "ORIGINAL") when it has one, else its visible text (a device name).
QString audioChoice(const QString &text, const QVariant &data);

// Fills the encoder's option template: %1 the rate-control type, %2 the first word of the
// quality-or-preset text ("1 (fast capturing, minimal quality)" gives 1). Empty without a template; a pair
// whose value is empty is left out.
QString encoderOptionText(const QString &format, const QStringList &params);

// Stored form of an encoder's two parameters ("vbr 4") and back. Splitting gives exactly two texts.
QString joinEncoderParams(const QStringList &params);
QStringList splitEncoderParams(const QString &stored);

// "video:%1x%2@%3  audio:%4 ch (%5 bits, %6 )  " for the given format.
QString formatText(const MFFormat &format);
// The status line while streaming: the format text, the written frames and, when there are any, the errors.
QString statusText(const MFFormat &format, quint64 framesWritten, qint64 captureErrors, qint64 writeErrors);

// The first argument that names an existing file whose complete suffix is exactly "ini"; empty if none.
QString findConfigFile(const QStringList &arguments);

// QSettings reads an INI value that, once unescaped, starts with "@Variant(" or "@DateTime(" as an object
// serialised in the bytes that follow, and a corrupt count there aborts the program. Our configuration files
// hold only texts and numbers; true when the text holds such a value, so that the file is refused unread.
bool iniHoldsSerializedValue(const QByteArray &text);

// The splash stays up for at least this long, counted from its showing to the end of the window's construction.
inline constexpr int kMinimumSplashMs = 2000;
// How long start-up still has to keep the splash up after constructing the window took elapsedMs.
int splashWaitMs(qint64 elapsedMs);

// "use default" leads the interface list; with at most one interface behind it there is nothing to choose.
inline constexpr char kDefaultInterface[] = "use default";
// The address the relays bind to for the interface list's state: empty (no binding) with two entries or
// fewer, "0.0.0.0" for "use default", else the address at the end of the entry's text.
QString senderInterface(int entryCount, const QString &currentText);

// "Ethernet: 192.168.1.5"
QString interfaceText(const QString &name, const QString &address);

} // namespace streamrules
