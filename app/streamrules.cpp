#include "streamrules.h"

#include "imfdevice.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QRegularExpression>

#include <cstring>

namespace streamrules {

namespace {
constexpr int kMinPassphrase = 10;
constexpr int kMaxPassphrase = 79;

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

// The characters an INI text stands for as QSettings unescapes its values: a \x or octal escape takes every
// digit that follows and keeps the low 16 bits, a backslash at the end of a line joins the next one, quotes
// only group, and an unknown escape drops the character after the backslash.
QString unescapedIni(const QByteArray &text) {
    static const char simpleEscapes[] = "abfnrtv\"'?\\;,";
    QString out;
    out.reserve(text.size());
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const char c = text.at(i);
        if (c == '"')
            continue;
        if (c != '\\') {
            out += QLatin1Char(c);
            continue;
        }
        if (++i >= n)
            break;
        const char e = text.at(i);
        if (e == 'x') {
            // "\x" without a hex digit stands for nothing: "@Var\xiant(" reads as "@Variant(".
            if (i + 1 >= n || hexDigit(text.at(i + 1)) < 0)
                continue;
            unsigned value = 0;
            while (i + 1 < n && hexDigit(text.at(i + 1)) >= 0)
                value = (value << 4) | unsigned(hexDigit(text.at(++i)));
            out += QChar(ushort(value));
        } else if (isOctalDigit(e)) {
            unsigned value = unsigned(e - '0');
            while (i + 1 < n && isOctalDigit(text.at(i + 1)))
                value = (value << 3) | unsigned(text.at(++i) - '0');
            out += QChar(ushort(value));
        } else if (e == '\r') {
            if (i + 1 < n && text.at(i + 1) == '\n')
                ++i;
        } else if (e != '\n' && e != '\0' && std::strchr(simpleEscapes, e)) {
            out += QLatin1Char(e);
        }
    }
    return out;
}
} // namespace

SrtServer parseSrtServer(const QString &text) {
    QString server = text.toLower();
    server.remove(QStringLiteral("srt://"));
    server = server.trimmed();
    SrtServer result;
    QString portText;
    if (server.startsWith(QLatin1Char('['))) {
        // An IPv6 address has colons of its own, so it comes in brackets, as in a URL: [::1]:9001.
        const int close = server.indexOf(QLatin1Char(']'));
        const QString rest = server.mid(close + 1).trimmed();
        if (close < 0 || !rest.startsWith(QLatin1Char(':')))
            return result;
        result.host = server.mid(1, close - 1).trimmed();
        if (QHostAddress(result.host).protocol() != QAbstractSocket::IPv6Protocol) {
            result.host.clear();
            return result;
        }
        portText = rest.mid(1).section(QLatin1Char(':'), 0, 0);
    } else {
        const QStringList parts = server.split(QLatin1Char(':'));
        if (parts.size() < 2)
            return result;
        // Without brackets an IPv6 address would split at its own colons into a host that does not exist.
        const QString beforePort = server.left(server.lastIndexOf(QLatin1Char(':')));
        if (QHostAddress(beforePort).protocol() == QAbstractSocket::IPv6Protocol ||
            QHostAddress(server).protocol() == QAbstractSocket::IPv6Protocol)
            return result;
        result.host = parts.at(0).trimmed();
        portText = parts.at(1);
    }
    static const QRegularExpression blank(QStringLiteral("\\s"));
    if (result.host.isEmpty() || result.host.contains(blank)) {
        result.host.clear();
        return result;
    }
    result.valid = true;
    result.portText = portText.trimmed();
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+$"));
    if (!number.match(result.portText).hasMatch())
        return result;
    bool ok = false;
    const qlonglong port = result.portText.toLongLong(&ok, 10);
    result.portInRange = ok && port >= 1 && port <= 65535;
    result.port = result.portInRange ? int(port) : 0;
    return result;
}

bool passphraseAcceptable(const QString &passphrase) {
    const int length = passphrase.length();
    return length == 0 || (length >= kMinPassphrase && length <= kMaxPassphrase);
}

int interlaceCode(const QString &frameRateText) {
    if (frameRateText.endsWith(QLatin1String("if1")))
        return 1;
    if (frameRateText.endsWith(QLatin1String("if2")))
        return 2;
    return 3;
}

VideoChoice videoChoice(const QString &text, const QVariant &data) {
    VideoChoice choice;
    const QString value = data.toString();
    const QString prefix = QLatin1String(kDisplayPrefix);
    if (value.startsWith(prefix)) {
        choice.deviceName = QLatin1String(kMFScreenCaptureDevice);
        bool ok = false;
        const int index = value.mid(prefix.length()).toInt(&ok, 10);
        choice.displayIndex = ok ? index : 0;
    } else {
        choice.deviceName = text;
    }
    return choice;
}

QString audioChoice(const QString &text, const QVariant &data) {
    const QString value = data.toString();
    return value.isEmpty() ? text : value;
}

QString encoderOptionText(const QString &format, const QStringList &params) {
    if (format.isEmpty())
        return QString();
    const QString first = params.value(0);
    const QString second = params.value(1).section(QLatin1Char(' '), 0, 0);
    QString text = format.arg(first, second);
    // A parameter the operator never picked stays empty; the writer refuses an empty value, so such a pair is
    // left out and the encoder keeps its own default for it.
    static const QRegularExpression emptyPair(QStringLiteral(" [^ =]+=''"));
    text.remove(emptyPair);
    return text;
}

QString joinEncoderParams(const QStringList &params) {
    QString stored;
    for (const QString &param : params)
        stored += param + QLatin1Char(' ');
    stored.chop(1);
    return stored;
}

QStringList splitEncoderParams(const QString &stored) {
    const int blank = stored.indexOf(QLatin1Char(' '));
    if (blank < 0)
        return {stored, QString()};
    return {stored.left(blank), stored.mid(blank + 1)};
}

QString formatText(const MFFormat &format) {
    return QStringLiteral("video:%1x%2@%3  audio:%4 ch (%5 bits, %6 )  ")
        .arg(format.width)
        .arg(format.height)
        .arg(QString::number(format.frameRate, 'g', QLocale::FloatingPointShortest))
        .arg(format.channels)
        .arg(qAbs(format.bitsPerSample))
        .arg(format.sampleRate);
}

QString statusText(const MFFormat &format, quint64 framesWritten, qint64 captureErrors, qint64 writeErrors) {
    QString text = formatText(format) + QStringLiteral(" frames:") + QString::number(framesWritten);
    if (captureErrors > 0)
        text += QStringLiteral(" ERR_capture: ") + QString::number(captureErrors);
    if (writeErrors > 0)
        text += QStringLiteral(" ERR_write: ") + QString::number(writeErrors);
    return text;
}

QString findConfigFile(const QStringList &arguments) {
    for (const QString &argument : arguments) {
        const QFileInfo info(argument);
        if (info.exists() && info.isFile() && info.completeSuffix() == QLatin1String("ini"))
            return argument;
    }
    return QString();
}

bool iniHoldsSerializedValue(const QByteArray &text) {
    // Only the marker's own characters (and line ends, which end a value) are kept before it is looked for, so
    // that where this reading of the escapes differs from QSettings' own (an escaped ";" it drops and this one
    // keeps, a control character), the difference can only refuse a file, never let a serialised value through.
    // By hand, not with a regular expression: an escape can make a lone surrogate, and the expression engine then
    // refuses the whole text and removes nothing.
    QString values;
    for (const QChar c : unescapedIni(text)) {
        const ushort u = c.unicode();
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '@' || u == '(' || u == '\r' || u == '\n')
            values += c;
    }
    return values.contains(QLatin1String("@Variant(")) || values.contains(QLatin1String("@DateTime("));
}

int splashWaitMs(qint64 elapsedMs) {
    return elapsedMs < kMinimumSplashMs ? int(kMinimumSplashMs - elapsedMs) : 0;
}

QString senderInterface(int entryCount, const QString &currentText) {
    if (entryCount <= 2)
        return QString();
    if (currentText == QLatin1String(kDefaultInterface))
        return QStringLiteral("0.0.0.0");
    return currentText.section(QLatin1Char(' '), -1);
}

QString interfaceText(const QString &name, const QString &address) {
    return QStringLiteral("%1: %2").arg(name, address);
}

} // namespace streamrules
