#include "mfffmpeglog.h"

#include <QByteArray>
#include <QDebug>

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// A damaged stream makes a decoder repeat one complaint for every packet, thousands a second; each would become
// a line in the log window. A repeated line is counted instead and its count written once another line comes,
// and every kRepeatReport repeats while it goes on.
constexpr int kRepeatReport = 1000;
// A piece never ended by a line feed would otherwise make the pending line grow for as long as the thread runs.
constexpr int kLongestLine = 4096;

// FFmpeg hands over a line in several pieces; each thread keeps its unfinished line until the line feed.
thread_local QByteArray pendingLine;
thread_local int pendingLevel = AV_LOG_INFO;
thread_local int printPrefix = 1;
thread_local bool quietThread = false;
thread_local QByteArray lastLine;
thread_local int lastLevel = AV_LOG_INFO;
thread_local int repeats = 0;

void emitLine(int level, const QByteArray &line) {
    if (level <= AV_LOG_ERROR)
        qWarning().noquote() << "FFmpeg:" << QString::fromUtf8(line);
    else
        qDebug().noquote() << "FFmpeg:" << QString::fromUtf8(line);
}

void reportRepeats() {
    if (repeats > 0)
        emitLine(lastLevel, QByteArrayLiteral("last message repeated ") + QByteArray::number(repeats) +
                                QByteArrayLiteral(" times"));
    repeats = 0;
}

void ffmpegLog(void *context, int level, const char *format, va_list arguments) {
    if (level > av_log_get_level() || quietThread)
        return;
    char piece[1024];
    va_list copy;
    va_copy(copy, arguments);
    av_log_format_line2(context, level, format, copy, piece, sizeof piece, &printPrefix);
    va_end(copy);
    if (pendingLine.isEmpty())
        pendingLevel = level;
    pendingLine += piece;
    if (!pendingLine.endsWith('\n') && pendingLine.size() < kLongestLine)
        return;
    if (pendingLine.endsWith('\n'))
        pendingLine.chop(1);
    if (pendingLine == lastLine && pendingLevel == lastLevel) {
        if (++repeats == kRepeatReport)
            reportRepeats();
    } else {
        reportRepeats();
        emitLine(pendingLevel, pendingLine);
        lastLine = pendingLine;
        lastLevel = pendingLevel;
    }
    pendingLine.clear();
}

} // namespace

void mfInstallFfmpegLog() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        // Encoders print several informational lines per opened stream; warnings and errors are what a
        // diagnosis needs.
        av_log_set_level(AV_LOG_WARNING);
        av_log_set_callback(ffmpegLog);
    });
}

void mfFfmpegLogQuiet(bool quiet) {
    quietThread = quiet;
}
