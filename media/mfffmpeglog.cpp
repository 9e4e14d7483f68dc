#include "mfffmpeglog.h"

#include <QByteArray>
#include <QDebug>

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// FFmpeg hands over a line in several pieces; each thread keeps its unfinished line until the line feed.
thread_local QByteArray pendingLine;
thread_local int pendingLevel = AV_LOG_INFO;
thread_local int printPrefix = 1;
thread_local bool quietThread = false;

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
    if (!pendingLine.endsWith('\n'))
        return;
    pendingLine.chop(1);
    if (pendingLevel <= AV_LOG_ERROR)
        qWarning().noquote() << "FFmpeg:" << QString::fromUtf8(pendingLine);
    else
        qDebug().noquote() << "FFmpeg:" << QString::fromUtf8(pendingLine);
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
